// The helpers that every area uses: strings made once, global lookup, calls
// into the host, printing, and traceback entries.
#include "tessel.hpp"

#include <frameobject.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace tessel {

bool make_strings() noexcept {
    // Owned by the state from the start, so that a failure part of the way
    // leaves nothing behind once release_state() has forgotten the strings.
    state.strings = Ref::steal(PyList_New(0));
    if (!state.strings) return false;
    for (InternedString* s = interned_strings; s; s = s->next) {
        Ref str = Ref::steal(PyUnicode_InternFromString(s->text));
        if (!str || PyList_Append(state.strings.get(), str.get()) < 0) return false;
        s->str = str.get();
    }
    for (KeywordTuple* k = keyword_tuples; k; k = k->next) {
        Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(k->names.size())));
        if (!tuple) return false;
        for (std::size_t i = 0; i < k->names.size(); ++i)
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Py_NewRef(k->names[i]()));
        if (PyList_Append(state.strings.get(), tuple.get()) < 0) return false;
        k->tuple = tuple.get();
    }
    state.one = Ref::steal(PyLong_FromLong(1));
    state.separators = Ref::steal(PyTuple_Pack(2, interned<"/">(), interned<"\\">()));
    state.str_strip = getattr(reinterpret_cast<PyObject*>(&PyUnicode_Type), interned<"strip">());
    return state.one && state.separators && state.str_strip;
}

void forget_strings() noexcept {
    for (InternedString* s = interned_strings; s; s = s->next) s->str = nullptr;
    for (KeywordTuple* k = keyword_tuples; k; k = k->next) k->tuple = nullptr;
}

int dict_item(PyObject* dict, PyObject* key, Ref& found) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    const int result = PyDict_GetItemRef(dict, key, &value);
    found = Ref::steal(value);
    return result;
#else
    // 3.12 always has the GIL: nothing runs between the lookup and the
    // new reference.
    PyObject* value = PyDict_GetItemWithError(dict, key);
    found = Ref::new_ref(value);
    return value ? 1 : PyErr_Occurred() ? -1 : 0;
#endif
}

Ref list_item(PyObject* list, Py_ssize_t index) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    Ref item = Ref::steal(PyList_GetItemRef(list, index));
    if (!item && PyErr_ExceptionMatches(PyExc_IndexError)) PyErr_Clear();
    return item;
#else
    return Ref::new_ref(index < PyList_GET_SIZE(list) ? PyList_GET_ITEM(list, index) : nullptr);
#endif
}

Ref global(PyObject* name) noexcept {
    Ref value;
    int found = dict_item(state.globals, name, value);
    if (found == 0) found = dict_item(state.builtins.get(), name, value);
    if (found == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return value;
}

int truth_of_global(PyObject* name) noexcept {
    Ref value = global(name);
    if (!value) return -1;
    return PyObject_IsTrue(value.get());
}

// Calls -----------------------------------------------------------------------

Ref calls::vectorcall(PyObject* target, bool method, PyObject** args, std::size_t positional,
                      PyObject* kwnames) noexcept {
    const std::size_t nargsf = positional | PY_VECTORCALL_ARGUMENTS_OFFSET;
    return Ref::steal(method ? PyObject_VectorcallMethod(target, args + 1, nargsf, kwnames)
                             : PyObject_Vectorcall(target, args + 1, nargsf, kwnames));
}

Ref getattr(PyObject* obj, PyObject* name) noexcept {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// Texts -----------------------------------------------------------------------

bool print(PyObject* text) noexcept { return static_cast<bool>(call(state.print.get(), text)); }

Ref concat_format(PyObject* prefix, PyObject* obj, PyObject* suffix) noexcept {
    Ref formatted = Ref::steal(PyObject_Format(obj, interned<"">()));
    if (!formatted) return {};
    return concat({prefix, formatted.get(), suffix});
}

Ref concat(std::initializer_list<PyObject*> texts) noexcept {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 0;
    for (PyObject* t : texts) {
        length += PyUnicode_GET_LENGTH(t);
        maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(t));
    }
    Ref joined = Ref::steal(PyUnicode_New(length, maxchar));
    if (!joined) return {};
    const int kind = PyUnicode_KIND(joined.get());
    auto* data = static_cast<char*>(PyUnicode_DATA(joined.get()));
    Py_ssize_t at = 0;
    for (PyObject* t : texts) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(t);
        if (PyUnicode_KIND(t) == kind)
            std::memcpy(data + at * kind, PyUnicode_DATA(t), static_cast<std::size_t>(n) * kind);
        else if (PyUnicode_CopyCharacters(joined.get(), at, t, 0, n) < 0)
            return {};
        at += n;
    }
    return joined;
}

// Lists and file arguments ------------------------------------------------------

Ref list_of(PyObject* item) noexcept {
    Ref list = Ref::steal(PyList_New(1));
    if (list) PyList_SET_ITEM(list.get(), 0, Py_NewRef(item));
    return list;
}

bool extend(PyObject* list, PyObject* items) noexcept {
    if (PyList_CheckExact(items)) {
        const Py_ssize_t end = PyList_GET_SIZE(list);
        return PyList_SetSlice(list, end, end, items) == 0;
    }
    return static_cast<bool>(call_method(list, interned<"extend">(), items));
}

bool holds(PyObject* text, char c) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND)
        return std::memchr(PyUnicode_1BYTE_DATA(text), c, static_cast<std::size_t>(length)) !=
               nullptr;
    return PyUnicode_FindChar(text, static_cast<Py_UCS4>(c), 0, length, 1) >= 0;
}

int is_brace_argument(PyObject* arg) noexcept {
    // An exact str answers as its `in` does, without the way through the
    // sequence protocol; anything else through its own __contains__.
    if (PyUnicode_CheckExact(arg)) return holds(arg, '{') && holds(arg, '}');
    const int has_open = PySequence_Contains(arg, interned<"{">());
    if (has_open <= 0) return has_open;
    return PySequence_Contains(arg, interned<"}">());
}

// Paths and the process -----------------------------------------------------------

Ref make_path(PyObject* arg) noexcept {
    Ref path_type = global(interned<"Path">());
    if (!path_type) return {};
    return call(path_type.get(), arg);
}

Ref module_file_path() noexcept {
    Ref path_type = global(interned<"Path">());
    if (!path_type) return {};
    Ref file = global(interned<"__file__">());
    if (!file) return {};
    return call(path_type.get(), file.get());
}

Ref module_directory() noexcept {
    Ref path = module_file_path();
    if (!path) return {};
    return getattr(path.get(), interned<"parent">());
}

Ref sys_argv() noexcept {
    Ref sys = global(interned<"sys">());
    if (!sys) return {};
    return getattr(sys.get(), interned<"argv">());
}

int debug_requested() noexcept {
    Ref argv = sys_argv();
    if (!argv) return -1;
    return PySequence_Contains(argv.get(), interned<"--debug">());
}

bool set_item(PyObject* dict, PyObject* name, PyObject* value) noexcept {
    return PyDict_SetItem(dict, name, value) == 0;
}

bool print_exception(PyObject* prefix, PyObject* e) noexcept {
    Ref line = concat_format(prefix, e, interned<"">());
    return line && print(line.get());
}

bool print_traceback() noexcept {
    Ref traceback = global(interned<"traceback">());
    if (!traceback) return false;
    Ref text = call_method(traceback.get(), interned<"format_exc">());
    return text && print(text.get());
}

// Traceback entries ------------------------------------------------------------------

namespace {

// The compiler's path of a source file as tracebacks show it: from its src
// directory on, below tessel/, with "/" between the parts whatever the build
// machine uses.
template <std::size_t N>
void traceback_path(std::string_view file, char (&out)[N]) noexcept {
    std::size_t start = 0;
    for (std::size_t i = 0; i + 4 <= file.size(); ++i) {
        const bool at_dir = i == 0 || file[i - 1] == '/' || file[i - 1] == '\\';
        if (at_dir && std::string_view(file.data() + i, 3) == "src" &&
            (file[i + 3] == '/' || file[i + 3] == '\\'))
            start = i;
    }
    constexpr std::string_view top = "tessel/";
    std::size_t n = 0;
    for (char c : top) out[n++] = c;
    for (std::size_t i = start; i < file.size() && n + 1 < N; ++i)
        out[n++] = file[i] == '\\' ? '/' : file[i];
    out[n] = '\0';
}

// A frame of the function of spec at `where`, for its traceback entry; null
// with an exception set.
Ref entry_frame(const FunctionSpec& spec, Where where) noexcept {
    char path[256];
    traceback_path(where.file, path);
    Ref globals = Ref::steal(PyDict_New());
    if (!globals) return {};
    Ref code =
        Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(path, spec.name, where.line)));
    if (!code) return {};
    return Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr)));
}

}  // namespace

void add_traceback(const FunctionSpec& spec, Where where) noexcept {
    // Made with no exception pending, as the host makes its own frames; if
    // the entry cannot be made, the exception goes on without it.  (Should
    // PyTraceBack_Here itself fail, its own error is pending instead, with
    // the exception as its context.)
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref frame = entry_frame(spec, where);
    if (!frame) PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace tessel
