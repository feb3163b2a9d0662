#include "state.hpp"

namespace varnel {
namespace detail {
namespace {

// Drops one block's link to its storage; the storage goes with its last link
// once no pool handle remains.
void unlink(StateStorage* storage) noexcept {
  if (storage == nullptr) return;
  --storage->links;
  if (storage->pool_handles == 0 && storage->links == 0) delete storage;
}

// Frees the block's vectors and its link; the memory of the block itself
// stays while WeakState handles exist.
void destroy_value(StateBlock* block) noexcept {
  block->inner = InnerState{};
  unlink(std::exchange(block->storage, nullptr));
}

}  // namespace

void release_last_strong(StateBlock* block) noexcept {
  StateStorage* storage = block->storage;
  if (block->weak == 1 && storage != nullptr && storage->pool_handles > 0) {
    // Growing the free list may fail to allocate; then the block is freed
    // instead, which loses nothing but a cached block.
    try {
      storage->free_list.push_back(block);
      block->strong = 0;
      return;
    } catch (...) {
    }
  }
  block->strong = 0;
  destroy_value(block);
  if (--block->weak == 0) delete block;
}

}  // namespace detail

WeakState::WeakState(const State& state) noexcept : block_(state.block_) { ++block_->weak; }
WeakState::WeakState(const WeakState& other) noexcept : block_(other.block_) { ++block_->weak; }
WeakState::~WeakState() {
  if (--block_->weak == 0) delete block_;
}

std::optional<State> WeakState::lock() const noexcept {
  if (block_->strong == 0) return std::nullopt;
  ++block_->strong;
  return State(block_);
}

StatePool::StatePool(std::size_t dim, std::size_t capacity) : storage_(new detail::StateStorage) {
  storage_->dim = dim;
  try {
    storage_->free_list.reserve(capacity);
  } catch (...) {
    delete storage_;
    throw;
  }
}

StatePool::StatePool(const StatePool& other) noexcept : storage_(other.storage_) {
  if (storage_ != nullptr) ++storage_->pool_handles;
}

StatePool& StatePool::operator=(StatePool&& other) noexcept {
  if (this != &other) {
    release();
    storage_ = std::exchange(other.storage_, nullptr);
  }
  return *this;
}

StatePool::~StatePool() { release(); }

void StatePool::release() noexcept {
  detail::StateStorage* s = std::exchange(storage_, nullptr);
  if (s == nullptr || --s->pool_handles > 0) return;
  // The last pool handle: free the waiting blocks. Blocks still in use keep
  // the storage record alive through their links and are freed when dropped.
  std::vector<detail::StateBlock*> waiting;
  waiting.swap(s->free_list);
  s->links -= waiting.size();
  for (detail::StateBlock* block : waiting) delete block;
  if (s->links == 0) delete s;
}

State StatePool::new_state() {
  detail::StateStorage& s = *storage_;
  if (!s.free_list.empty()) {
    detail::StateBlock* block = s.free_list.back();
    s.free_list.pop_back();
    block->strong = 1;
    return State(block);
  }
  auto* block = new detail::StateBlock{
      InnerState{Vector(s.dim), Vector(s.dim), Vector(s.dim), Vector(s.dim), Vector(s.dim), 0, 0.0,
                 0.0},
      1, 1, &s};
  ++s.links;
  return State(block);
}

std::size_t StatePool::dim() const noexcept { return storage_->dim; }
std::size_t StatePool::free_count() const noexcept { return storage_->free_list.size(); }

std::string NutsError::display() const {
  switch (kind_) {
    case Kind::LogpFailure:
      return "Logp function returned error: " + cause_->message();
    case Kind::SerializeFailure:
      return "Could not serialize sample stats";
    case Kind::BadInitGrad:
      break;
  }
  return "Could not initialize state because of bad initial gradient.";
}

std::string NutsError::debug_text() const {
  switch (kind_) {
    case Kind::LogpFailure:
      return "LogpFailure(" + cause_->debug_text() + ")";
    case Kind::SerializeFailure:
      return "SerializeFailure";
    case Kind::BadInitGrad:
      break;
  }
  return "BadInitGrad";
}

Error NutsError::to_error() const {
  if (cause_) return Error(display(), *cause_);
  return Error(display());
}

}  // namespace varnel
