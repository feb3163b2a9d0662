#include "python/py/args.hpp"

#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace varnel::py {

namespace {

std::string quoted(const char* name) { return concat({"'", name, "'"}); }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": how CPython lists missing names.
std::string list_names(const std::vector<const char*>& names) {
  const std::size_t n = names.size();
  if (n == 1) return quoted(names[0]);
  if (n == 2) return concat({quoted(names[0]), " and ", quoted(names[1])});
  std::string text;
  for (std::size_t i = 0; i + 2 < n; ++i) text.append(concat({quoted(names[i]), ", "}));
  return concat({text, quoted(names[n - 2]), ", and ", quoted(names[n - 1])});
}

}  // namespace

void parse_arguments(const char* function, std::span<const char* const> names,
                     std::size_t required, bool keyword_only, PyObject* args, PyObject* kwargs,
                     std::span<PyObject*> out) {
  const std::size_t n_params = names.size();
  for (auto& slot : out) slot = nullptr;
  const Py_ssize_t n_given_signed = args == nullptr ? 0 : PyTuple_Size(args);
  if (n_given_signed < 0) throw_python_error();
  const auto n_given = static_cast<std::size_t>(n_given_signed);
  // Every setting a keyword: positional numbers would be too easy to mix up.
  if (keyword_only && n_given > 0) {
    raise(PyExc_TypeError, concat({function, "() takes 0 positional arguments but ", std::to_string(n_given),
                                   n_given == 1 ? " was given" : " were given"}));
  }

  // Same order of checks as a Python function call: positional arguments
  // first, then keywords (unexpected, given twice), then the count of
  // positional arguments, then what is missing.
  for (std::size_t i = 0; i < n_given && i < n_params; ++i) {
    out[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    if (out[i] == nullptr) throw_python_error();
  }

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        raise(PyExc_TypeError, concat({function, "() keywords must be strings"}));
      }
      std::size_t j = 0;
      for (; j < n_params; ++j) {
        if (PyUnicode_CompareWithASCIIString(key, names[j]) == 0) break;
      }
      if (j == n_params) {
        raise(PyExc_TypeError,
              concat({function, "() got an unexpected keyword argument '", str_of(key), "'"}));
      }
      if (out[j] != nullptr) {
        raise(PyExc_TypeError,
              concat({function, "() got multiple values for argument '", names[j], "'"}));
      }
      out[j] = value;
    }
  }

  if (n_given > n_params) {
    std::string takes;
    bool plural = true;
    if (required < n_params) {
      takes = concat({"from ", std::to_string(required), " to ", std::to_string(n_params)});
    } else {
      takes = std::to_string(n_params);
      plural = n_params != 1;
    }
    raise(PyExc_TypeError,
          concat({function, "() takes ", takes, " positional argument", plural ? "s" : "", " but ",
                  std::to_string(n_given), n_given == 1 ? " was" : " were", " given"}));
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < required; ++i) {
    if (out[i] == nullptr) missing.push_back(names[i]);
  }
  if (!missing.empty()) {
    raise(PyExc_TypeError,
          concat({function, "() missing ", std::to_string(missing.size()),
                  " required positional argument", missing.size() == 1 ? "" : "s", ": ",
                  list_names(missing)}));
  }
}

std::string text_signature(std::span<const char* const> names, std::size_t required,
                           std::span<const char* const> defaults, bool keyword_only, bool self) {
  std::string text = "(";
  if (self) text += "$self";
  if (keyword_only && !names.empty()) text += self ? ", *" : "*";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0 || self || keyword_only) text += ", ";
    text += names[i];
    if (i >= required) text += concat({"=", defaults[i] != nullptr ? defaults[i] : "None"});
  }
  return text + ")";
}

const char* method_name(const char* function) noexcept {
  const char* dot = std::strrchr(function, '.');
  return dot == nullptr ? function : dot + 1;
}

const char* method_doc(const char* function, std::string_view parameters, std::string_view doc) {
  // Never freed: method tables keep pointers into them for the process's life.
  static std::deque<std::string> docs;
  docs.push_back(concat({method_name(function), parameters, "\n--\n\n", doc}));
  return docs.back().c_str();
}

}  // namespace varnel::py
