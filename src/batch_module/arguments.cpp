#include "batch_module/arguments.hpp"

#include "module/object_layouts.hpp"

namespace velmora::batch_module {
namespace {

// PyFloat_AsDouble, with its TypeError (not a number) answered by false and
// any other error raised.
bool read_real(PyObject* value, double& out) {
    out = PyFloat_AsDouble(value);
    if (out != -1.0 || !PyErr_Occurred()) return true;
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
    PyErr_Clear();
    return false;
}

}  // namespace

std::string qualified_type_name(nb::handle value) {
    PyObject* name = PyType_GetQualName(Py_TYPE(value.ptr()));
    if (name == nullptr) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return nb::steal<nb::str>(name).c_str();
}

std::string Arguments::prefix(const char* name) const { return std::string(function_) + "(): '" + name + "' "; }

void Arguments::value_error(const char* name, const std::string& must, nb::handle value) const {
    throw nb::value_error((prefix(name) + "must be " + must + ", not " + nb::str(nb::repr(value)).c_str()).c_str());
}

arm::SphericalFiveBar Arguments::arm(const char* name, nb::handle value) const {
    // Neither class can be subclassed: an exact type check is the whole check.
    if (Py_TYPE(value.ptr()) == arm_class())
        return arm::SphericalFiveBar(reinterpret_cast<const module::ArmObject*>(value.ptr())->geometry);
    if (const FiveBar* five_bar = five_bar_of(value)) return arm::SphericalFiveBar(five_bar->geometry);
    throw nb::type_error((prefix(name) +
                          "must be a velmora_torso_kinematics.VelmoraArmKinematics or a velmora_torso_batch.FiveBar, "
                          "not '" +
                          qualified_type_name(value) + "'")
                             .c_str());
}

double Arguments::real(const char* name, nb::handle value, const char* expected) const {
    double number;
    if (!read_real(value.ptr(), number))
        throw nb::type_error((prefix(name) + "must be " + expected + ", not '" + qualified_type_name(value) + "'").c_str());
    return number;
}

double Arguments::positive(const char* name, nb::handle value) const {
    const double number = real(name, value, "a real number");
    if (!(number > 0.0 && std::isfinite(number))) value_error(name, "a positive finite number", value);
    return number;
}

std::optional<double> Arguments::positive_or_none(const char* name, nb::handle value) const {
    if (value.is_none()) return std::nullopt;
    const double number = real(name, value, "a real number or None");
    if (!(number > 0.0 && std::isfinite(number))) value_error(name, "a positive finite number or None", value);
    return number;
}

double Arguments::non_negative(const char* name, nb::handle value) const {
    const double number = real(name, value, "a real number");
    if (!(number >= 0.0 && std::isfinite(number))) value_error(name, "a non-negative finite number", value);
    return number;
}

std::optional<double> Arguments::non_negative_or_none(const char* name, nb::handle value) const {
    if (value.is_none()) return std::nullopt;
    const double number = real(name, value, "a real number or None");
    if (!(number >= 0.0))
        throw nb::value_error(
            (prefix(name) + "must be a non-negative number, not " + nb::str(nb::float_(number)).c_str()).c_str());
    return number;
}

template <std::size_t N>
void Arguments::numbers(const char* name, nb::handle value, double (&out)[N]) const {
    const std::string expected = "a sequence of " + std::to_string(N) + " real numbers";
    nb::object sequence = nb::steal(PySequence_Fast(value.ptr(), ""));
    if (!sequence.is_valid()) {
        PyErr_Clear();
        throw nb::type_error((prefix(name) + "must be " + expected + ", not '" + qualified_type_name(value) + "'").c_str());
    }
    if (PySequence_Fast_GET_SIZE(sequence.ptr()) != static_cast<Py_ssize_t>(N))
        throw nb::value_error((prefix(name) + "must be " + expected + ", not " +
                               std::to_string(PySequence_Fast_GET_SIZE(sequence.ptr())))
                                  .c_str());
    PyObject** items = PySequence_Fast_ITEMS(sequence.ptr());
    for (std::size_t k = 0; k < N; ++k) out[k] = real(name, items[k], expected.c_str());
}

template void Arguments::numbers<2>(const char*, nb::handle, double (&)[2]) const;
template void Arguments::numbers<3>(const char*, nb::handle, double (&)[3]) const;

bool Arguments::bounds(nb::handle value, double* out, std::size_t count) const {
    nb::object outer = nb::steal(PySequence_Fast(value.ptr(), ""));
    if (!outer.is_valid() || PySequence_Fast_GET_SIZE(outer.ptr()) != static_cast<Py_ssize_t>(count)) {
        PyErr_Clear();
        return false;
    }
    for (std::size_t k = 0; k < count; ++k) {
        nb::object inner = nb::steal(PySequence_Fast(PySequence_Fast_GET_ITEM(outer.ptr(), k), ""));
        if (!inner.is_valid() || PySequence_Fast_GET_SIZE(inner.ptr()) != 2) {
            PyErr_Clear();
            return false;
        }
        for (std::size_t j = 0; j < 2; ++j)
            if (!read_real(PySequence_Fast_GET_ITEM(inner.ptr(), j), out[2 * k + j])) return false;
    }
    return true;
}

std::optional<arm::JointLimits> Arguments::limits(const char* name, nb::handle value) const {
    if (value.is_none()) return std::nullopt;
    double b[4];
    if (!bounds(value, b, 2))
        throw nb::type_error((prefix(name) + "must be ((a_min, a_max), (b_min, b_max)) or None, not '" +
                              qualified_type_name(value) + "'")
                                 .c_str());
    const arm::JointLimits limits{b[0], b[1], b[2], b[3]};
    if (!limits.usable()) value_error(name, "ranges with min <= max and no NaN bound", value);
    return limits;
}

std::optional<neck::NeckLimits> Arguments::neck_limits(nb::handle value) const {
    if (value.is_none()) return std::nullopt;
    double b[6];
    if (!bounds(value, b, 3))
        throw nb::type_error((prefix("limits") +
                              "must be ((yaw_min, yaw_max), (pitch_min, pitch_max), (roll_min, roll_max)) or None, "
                              "not '" +
                              qualified_type_name(value) + "'")
                                 .c_str());
    const neck::NeckLimits limits{b[0], b[1], b[2], b[3], b[4], b[5]};
    if (!limits.usable()) value_error("limits", "ranges with min <= max and no NaN bound", value);
    return limits;
}

}  // namespace velmora::batch_module
