#include "python_module/pyasset.hpp"

#include <cmath>
#include <unordered_map>

#include "util/format.hpp"

namespace ravlin::py {

namespace {

// The log values L of column 1: time × rate, or the log of the forward.
ParseResult<std::vector<double>> log_values(const std::string& name, const std::string& label,
                                            const TwoColumns& table) {
  std::vector<double> values(table.first.size());
  if (label == "ZERO_RATES") {
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = table.first[i] * table.second[i];
    return values;
  }
  if (label == "FORWARDS") {
    for (std::size_t i = 0; i < values.size(); ++i) {
      const double forward = table.second[i];
      // A forward that is not positive has no log value: every query of the
      // curve would be NaN or infinite.
      if (!(forward > 0.0)) {
        return std::unexpected(PyParseError::message(
            "Asset '" + name + "' has a forward of " + format_double(forward) + " at time " +
            format_double(table.first[i]) + "; forwards must be positive"));
      }
      values[i] = std::log(forward);
    }
    return values;
  }
  return std::unexpected(PyParseError::message("Unknown asset type " + label));
}

ParseResult<AssetLogFwd> read_curve(const std::string& name, PyObject* entry,
                                    const std::string& base) {
  if (!PyTuple_Check(entry)) return std::unexpected(PyParseError::type_check(entry, "PyTuple"));
  PyObject* label_object = PyTuple_GetItem(entry, 0);
  if (label_object == nullptr) return std::unexpected(PyParseError::fetch());
  std::string label;
  if (!convert(label_object, label)) return std::unexpected(PyParseError::fetch());
  PyObject* array = PyTuple_GetItem(entry, 1);
  if (array == nullptr) return std::unexpected(PyParseError::fetch());
  RV_ASSIGN(TwoColumns table, get_2col_array(array, "asset '" + name + "'"));
  RV_ASSIGN(std::vector<double> values, log_values(name, label, table));
  const AssetKind kind = name == base ? AssetKind::Base : AssetKind::Quoted;
  RV_ASSIGN(AssetLogFwd curve, AssetLogFwd::create(std::move(table.first), std::move(values), kind));
  return curve;
}

}  // namespace

ParseResult<Assets> create_assets(PyObject* dataset) {
  RV_ASSIGN(std::string base, get_typed<std::string>(dataset, "BASE"));
  RV_ASSIGN(PyRef entries, get_dict(dataset, "ASSETS"));
  PyRef items = PyRef::steal(PyDict_Items(entries.get()));
  if (!items) return std::unexpected(PyParseError::fetch());
  std::unordered_map<std::string, AssetLogFwd> curves;
  for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);
    std::string name;
    if (!convert(PyTuple_GetItem(item, 0), name)) return std::unexpected(PyParseError::fetch());
    RV_ASSIGN(AssetLogFwd curve, read_curve(name, PyTuple_GetItem(item, 1), base));
    curves.insert_or_assign(std::move(name), std::move(curve));
  }
  return Assets(std::move(curves), std::move(base));
}

}  // namespace ravlin::py
