#include "python/models.hpp"

#include <cstddef>
#include <type_traits>
#include <utility>

#include "python/py/convert.hpp"

namespace varnel {

namespace {

// The pure-Python package that rebuilds models from their settings.
constexpr const char* kRebuildModule = "_varnel_experiment";
constexpr const char* kRebuildFunction = "_rebuild_model";

template <std::size_t... I>
std::optional<AnyModel> first_model(PyObject* obj, std::index_sequence<I...>) noexcept {
  std::optional<AnyModel> found;
  ((found = found ? found : [&]() -> std::optional<AnyModel> {
      if (auto m = try_model<std::variant_alternative_t<I, AnyModel>>(obj)) return AnyModel(std::in_place_index<I>, *m);
      return std::nullopt;
    }()),
   ...);
  return found;
}

py::PyRef setting_object(const SettingValue& value) {
  return std::visit(
      [](const auto& v) -> py::PyRef {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return py::PyRef::borrow(v ? Py_True : Py_False);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return py::take(PyLong_FromLongLong(v));
        } else if constexpr (std::is_same_v<T, double>) {
          return py::to_py_float(v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return py::new_str(v);
        } else {
          py::PyRef tuple = py::take(PyTuple_New(static_cast<Py_ssize_t>(v.size())));
          for (std::size_t i = 0; i < v.size(); ++i) {
            py::check_status(PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), py::to_py_float(v[i]).release()));
          }
          return tuple;
        }
      },
      value);
}

}  // namespace

std::optional<AnyModel> try_any_model(PyObject* obj) noexcept {
  return first_model(obj, std::make_index_sequence<std::variant_size_v<AnyModel>>{});
}

std::string model_class_names() {
  std::string names;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    constexpr std::size_t n = sizeof...(I);
    ((names += (I == 0 ? "" : I + 1 == n ? " or " : ", ") +
               std::string(std::variant_alternative_t<I, AnyModel>::kClassName)),
     ...);
  }(std::make_index_sequence<std::variant_size_v<AnyModel>>{});
  return names;
}

py::PyRef settings_dict(const ModelSettings& settings) {
  py::PyRef dict = py::take(PyDict_New());
  for (const Setting& s : settings) {
    py::check_status(PyDict_SetItemString(dict.get(), s.name.c_str(), setting_object(s.value).get()));
  }
  return dict;
}

py::PyRef model_reduce(std::string_view class_name, const ModelSettings& settings) {
  py::PyRef module = py::take(PyImport_ImportModule(kRebuildModule));
  py::PyRef rebuild = py::take(PyObject_GetAttrString(module.get(), kRebuildFunction));
  py::PyRef name = py::new_str(class_name);
  py::PyRef dict = settings_dict(settings);
  py::PyRef args = py::take(PyTuple_Pack(2, name.get(), dict.get()));
  return py::take(PyTuple_Pack(2, rebuild.get(), args.get()));
}

}  // namespace varnel
