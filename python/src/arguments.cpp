// Wrong argument types. pybind11's own TypeError lists the signature and the repr of every
// argument, a whole array included; ours names the argument and the type it takes, from the
// signature pybind11 keeps for help().
#include <climits>
#include <string>
#include <unordered_map>
#include <vector>

#include "picture.h"

namespace tamsa_python {

namespace {

namespace detail = py::detail;
using impl_function = py::handle (*)(detail::function_call &);

// The bound functions' own handlers, by record; filled at import, only read afterwards.
std::unordered_map<const detail::function_record *, impl_function> &originals() {
    static std::unordered_map<const detail::function_record *, impl_function> table;
    return table;
}

// The parameters of a signature "(a: int, b: numpy.ndarray | None = None) -> ...", as
// (name, type) pairs; a parameter such as *args ends the list.
std::vector<std::pair<std::string, std::string>> parameters(const char *signature) {
    std::vector<std::pair<std::string, std::string>> out;
    const std::string s = signature == nullptr ? "" : signature;
    if (s.empty() || s[0] != '(') return out;
    int depth = 0;
    std::string piece;
    bool quoted = false;
    for (size_t i = 1; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '\'') quoted = !quoted;
        if (!quoted && (c == '(' || c == '[')) ++depth;
        if (!quoted && (c == ']' || (c == ')' && depth > 0))) {
            --depth;
        } else if (!quoted && depth == 0 && (c == ',' || c == ')')) {
            const size_t colon = piece.find(": ");
            if (piece.empty() || piece[0] == '*' || colon == std::string::npos) return out;
            std::string type = piece.substr(colon + 2);
            type = type.substr(0, type.find(" = "));
            out.emplace_back(piece.substr(0, colon), type);
            piece.clear();
            if (c == ')') return out;
            ++i;  // the blank after the comma
            continue;
        }
        piece += c;
    }
    return out;
}

enum class fit { yes, no, out_of_range };

fit fits(const std::string &type, py::handle value) {
    const std::string none_suffix = " | None";
    if (type.size() > none_suffix.size() &&
        type.compare(type.size() - none_suffix.size(), none_suffix.size(), none_suffix) == 0) {
        if (value.is_none()) return fit::yes;
        return fits(type.substr(0, type.size() - none_suffix.size()), value);
    }
    if (type.rfind("Optional[", 0) == 0 && type.back() == ']') {
        if (value.is_none()) return fit::yes;
        return fits(type.substr(9, type.size() - 10), value);
    }
    PyObject *v = value.ptr();
    if (type == "int") {
        if (PyFloat_Check(v) || !(PyLong_Check(v) || PyIndex_Check(v))) return fit::no;
        // Most integer arguments are the library's 32-bit ones.
        int overflow = 0;
        const long long n = PyLong_Check(v) ? PyLong_AsLongLongAndOverflow(v, &overflow) : 0;
        if (PyErr_Occurred() != nullptr) PyErr_Clear();
        return overflow != 0 || n < INT32_MIN || n > INT32_MAX ? fit::out_of_range : fit::yes;
    }
    if (type == "float") {
        const bool number =
            PyFloat_Check(v) || PyLong_Check(v) || PyIndex_Check(v) ||
            (Py_TYPE(v)->tp_as_number != nullptr && Py_TYPE(v)->tp_as_number->nb_float != nullptr);
        return number ? fit::yes : fit::no;
    }
    if (type == "bool") {
        const bool truth = PyBool_Check(v) || (Py_TYPE(v)->tp_as_number != nullptr &&
                                               Py_TYPE(v)->tp_as_number->nb_bool != nullptr);
        return truth ? fit::yes : fit::no;
    }
    if (type == "str") return PyUnicode_Check(v) || PyBytes_Check(v) ? fit::yes : fit::no;
    return fit::yes;
}

std::string type_name(py::handle value) {
    return Py_TYPE(value.ptr())->tp_name;
}

std::string refusal(const detail::function_call &call) {
    const detail::function_record &record = call.func;
    const std::string name = std::string(record.name) + "()";
    const auto params = parameters(record.signature);
    // A wrong type first; failing that, an integer too large for the library.
    for (const fit wanted : {fit::no, fit::out_of_range}) {
        for (size_t i = 0; i < params.size() && i < call.args.size(); ++i) {
            if (fits(params[i].second, call.args[i]) != wanted) continue;
            if (wanted == fit::no) {
                return name + ": argument '" + params[i].first + "' must be " + params[i].second +
                       ", not " + type_name(call.args[i]);
            }
            return name + ": argument '" + params[i].first + "' is out of range";
        }
    }
    std::string got;
    for (const py::handle &a : call.args) got += (got.empty() ? "" : ", ") + type_name(a);
    return name + ": the arguments (" + got + ") do not fit " + record.name +
           (record.signature != nullptr ? record.signature : "");
}

py::handle named_impl(detail::function_call &call) {
    const py::handle result = originals().at(&call.func)(call);
    if (result.ptr() == PYBIND11_TRY_NEXT_OVERLOAD && call.func.next == nullptr)
        throw py::type_error(refusal(call));
    return result;
}

void wrap(py::handle function) {
    const py::handle f = detail::get_function(function);
    if (!f || !PyCFunction_Check(f.ptr())) return;
    PyObject *self = PyCFunction_GET_SELF(f.ptr());
    if (self == nullptr || !py::isinstance<py::capsule>(self)) return;
    const auto capsule = py::reinterpret_borrow<py::capsule>(self);
    if (!detail::is_function_record_capsule(capsule)) return;
    for (auto *r = capsule.get_pointer<detail::function_record>(); r != nullptr; r = r->next) {
        if (r->impl == &named_impl) continue;
        originals()[r] = r->impl;
        r->impl = &named_impl;
    }
}

}  // namespace

void name_type_errors(py::module_ &m) {
    for (const auto &item : py::reinterpret_borrow<py::dict>(m.attr("__dict__"))) {
        const py::handle value = item.second;
        if (PyType_Check(value.ptr())) {
            // The type's own dictionary (its __dict__ is a read-only view of it).
            PyObject *members = reinterpret_cast<PyTypeObject *>(value.ptr())->tp_dict;
            for (const auto &member : py::reinterpret_borrow<py::dict>(members))
                wrap(member.second);
        } else {
            wrap(value);
        }
    }
}

}  // namespace tamsa_python
