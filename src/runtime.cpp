// The module's callable type, its argument binder, and the helpers every area
// uses to look up globals, call into the host and print.
#include "tessel.hpp"

#include <frameobject.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <string_view>

namespace tessel {
namespace {
// Never destroyed: the references in the state belong to an interpreter and
// are released while it lives (release_state), not at process exit, when no
// interpreter may be left to release them to.
alignas(State) unsigned char state_storage[sizeof(State)];
}  // namespace

State& state = *::new (static_cast<void*>(state_storage)) State();

void release_state() noexcept {
    // Emptied before anything is released: releasing a reference may run
    // code that reaches the module again.
    State old = std::move(state);
    state = State();
}

namespace {

// A function of the module, made in C++.  Like a Python function it carries
// its globals, names, docstring, annotations and an attribute dictionary.
struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* globals;      // the module dict, also __globals__
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakrefs;     // the list of weak references, as functions have
};

Function* as_function(PyObject* self) noexcept { return reinterpret_cast<Function*>(self); }

// A function of a module whose interpreter was finalised, or whose import
// failed: the state that it would run with is gone.
PyObject* module_gone() noexcept {
    PyErr_SetString(PyExc_RuntimeError,
                    "tessel: this function belongs to a module that is no longer loaded");
    return nullptr;
}

bool is_live(PyObject* self) noexcept {
    return state.globals && as_function(self)->globals == state.globals;
}

// Messages of the argument rules ------------------------------------------

PyObject* wrong_count(const FunctionSpec& spec, Py_ssize_t given) noexcept {
    const auto expected = static_cast<Py_ssize_t>(spec.params.size());
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, "exactly", expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

// Raises the exact-type TypeError for arg, naming its type as the host's
// own type errors do (tp_name: "array.array", "PosixPath"); a subclass
// instance gets a note explaining why it was refused.
PyObject* wrong_type(PyObject* param_name, PyTypeObject* wanted, PyObject* arg) noexcept {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200U' has incorrect type (expected %.200s, got %.200s)",
                 param_name, wanted->tp_name, Py_TYPE(arg)->tp_name);
    if (!PyObject_TypeCheck(arg, wanted)) return nullptr;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref note = Ref::steal(PyUnicode_FromFormat(
        "tessel takes exact built-in types only: instances of subclasses of %s are refused",
        wanted->tp_name));
    if (note) {
        Ref done = call_method(exc.get(), names().add_note, {note.get()});
        if (!done) return nullptr;  // the failure of add_note replaces the TypeError
    }
    PyErr_SetRaisedException(exc.release());
    return nullptr;
}

bool check_type(const Param& param, PyObject* arg) noexcept {
    PyTypeObject* wanted = nullptr;
    switch (param.type) {
        case Requires::anything: return true;
        case Requires::exact_str: wanted = &PyUnicode_Type; break;
        case Requires::exact_list: wanted = &PyList_Type; break;
    }
    if (Py_IS_TYPE(arg, wanted)) return true;
    wrong_type(names().*param.name, wanted, arg);
    return false;
}

// Keyword names are compared by identity first: the interpreter passes the
// interned names of the call site, which usually are ours.
bool same_name(PyObject* a, PyObject* b) noexcept {
    return a == b || PyUnicode_Compare(a, b) == 0;
}

// Runs the body; an exception leaving it gets the function's traceback entry.
PyObject* checked_body(const FunctionSpec& spec, PyObject* const* params) noexcept {
    PyObject* result = spec.body(params);
    if (!result) add_traceback(spec.name, spec.where);
    return result;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args,
                              std::size_t nargsf, PyObject* kwnames) noexcept {
    const FunctionSpec& spec = *as_function(callable)->spec;
    if (!is_live(callable)) return module_gone();
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const auto nparams = static_cast<Py_ssize_t>(spec.params.size());

    if (nparams == 0) {
        if (nkw > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", spec.name, "takes no keyword arguments");
            return nullptr;
        }
        if (nargs > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", spec.name,
                         "takes no arguments", nargs);
            return nullptr;
        }
        return checked_body(spec, nullptr);
    }

    if (nargs > nparams) return wrong_count(spec, nargs);
    std::array<PyObject*, max_params> bound{};
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", spec.name);
            return nullptr;
        }
        Py_ssize_t index = 0;
        while (index < nparams && !same_name(key, names().*spec.params[index].name)) ++index;
        if (index == nparams) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         spec.name, key);
            return nullptr;
        }
        if (bound[index]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         spec.name, key);
            return nullptr;
        }
        bound[index] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < nparams; ++i)
        if (!bound[i]) return wrong_count(spec, nargs);
    for (Py_ssize_t i = 0; i < nparams; ++i)
        if (!check_type(spec.params[i], bound[i])) return nullptr;
    return checked_body(spec, bound.data());
}

// Type slots ----------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->globals);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    Function* f = as_function(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Binds like a function in a class body: a bound method for an instance,
// the function itself when read from the class.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Lets inspect.signature() show the parameters.
PyObject* function_text_signature(PyObject* self, void*) noexcept {
    if (!is_live(self)) return module_gone();
    const FunctionSpec& spec = *as_function(self)->spec;
    Ref params = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(spec.params.size())));
    if (!params) return nullptr;
    for (std::size_t i = 0; i < spec.params.size(); ++i)
        PyTuple_SET_ITEM(params.get(), static_cast<Py_ssize_t>(i),
                         Py_NewRef(names().*spec.params[i].name));
    Ref separator = Ref::steal(PyUnicode_FromString(", "));
    Ref list = separator ? Ref::steal(PyUnicode_Join(separator.get(), params.get())) : Ref();
    return list ? PyUnicode_FromFormat("(%U)", list.get()) : nullptr;
}

// Copies and pickles treat the functions as Python treats its own: a copy is
// the function itself, and a pickle names it by module and qualified name
// (a str from __reduce__ means "the global of that name"), so that
// unpickling finds the same object.
PyObject* function_copy(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

PyObject* function_deepcopy(PyObject* self, PyObject* /*memo*/) noexcept {
    return Py_NewRef(self);
}

PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__copy__", function_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", function_deepcopy, METH_O, nullptr},
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakrefs), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__name__", Py_T_OBJECT_EX, offsetof(Function, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(Function, qualname), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(Function, doc), 0, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module), 0, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(Function, annotations), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__text_signature__", function_text_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "tessel.tessel.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

bool init_function_type() noexcept {
    state.function_type = Ref::steal(PyType_FromSpec(&function_type_spec));
    return static_cast<bool>(state.function_type);
}

Ref make_function(const FunctionSpec& spec) noexcept {
    Ref name = Ref::steal(PyUnicode_FromString(spec.name));
    Ref qualname = Ref::steal(PyUnicode_FromString(spec.qualname));
    Ref doc = Ref::steal(PyUnicode_FromString(spec.doc));
    Ref annotations = Ref::steal(PyDict_New());
    if (!name || !qualname || !doc || !annotations) return {};
    for (const Annotation& a : spec.annotations) {
        Ref text = Ref::steal(PyUnicode_FromString(a.text));
        if (!text || PyDict_SetItemString(annotations.get(), a.name, text.get()) < 0) return {};
    }
    auto* f = PyObject_GC_New(Function, reinterpret_cast<PyTypeObject*>(state.function_type.get()));
    if (!f) return {};
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->globals = Py_NewRef(state.globals);
    f->name = name.release();
    f->qualname = qualname.release();
    f->doc = doc.release();
    f->module = Py_NewRef(names().module_name);
    f->annotations = annotations.release();
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

// Helpers ---------------------------------------------------------------------

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

}  // namespace

void add_traceback(const char* function, Where where) noexcept {
    char path[256];
    traceback_path(where.file, path);
    // Made with no exception pending, as the host makes its own frames; if
    // the entry cannot be made, the exception goes on without it.  (Should
    // PyTraceBack_Here itself fail, its own error is pending instead, with
    // the exception as its context.)
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref globals = Ref::steal(PyDict_New());
    PyCodeObject* code = globals ? PyCode_NewEmpty(path, function, where.line) : nullptr;
    Ref code_ref = Ref::steal(reinterpret_cast<PyObject*>(code));
    PyFrameObject* frame =
        code ? PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr) : nullptr;
    Ref frame_ref = Ref::steal(reinterpret_cast<PyObject*>(frame));
    if (!frame) PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
    if (frame) PyTraceBack_Here(frame);
}

Ref global(PyObject* name) noexcept {
    PyObject* value = PyDict_GetItemWithError(state.globals, name);
    if (!value && !PyErr_Occurred()) value = PyDict_GetItemWithError(state.builtins.get(), name);
    if (value) return Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

namespace {
// Room for self, up to eight more arguments, and the slot in front that
// PY_VECTORCALL_ARGUMENTS_OFFSET lets the callee borrow.
constexpr std::size_t max_call_args = 10;

Ref too_many_args() noexcept {
    PyErr_SetString(PyExc_SystemError, "tessel: too many call arguments");
    return {};
}
}  // namespace

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) noexcept {
    if (args.size() + 1 > max_call_args) return too_many_args();
    std::array<PyObject*, max_call_args> buffer{};
    std::size_t n = 1;
    for (PyObject* a : args) buffer[n++] = a;
    const std::size_t nkw = kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return Ref::steal(PyObject_Vectorcall(callable, buffer.data() + 1,
                                          (args.size() - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          kwnames));
}

Ref call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args,
                PyObject* kwnames) noexcept {
    if (args.size() + 2 > max_call_args) return too_many_args();
    std::array<PyObject*, max_call_args> buffer{};
    std::size_t n = 0;
    buffer[n++] = self;
    for (PyObject* a : args) buffer[n++] = a;
    const std::size_t nkw = kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return Ref::steal(PyObject_VectorcallMethod(name, buffer.data(),
                                                (n - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                kwnames));
}

Ref getattr(PyObject* obj, PyObject* name) noexcept {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

bool print(PyObject* text) noexcept {
    return static_cast<bool>(call(state.print.get(), {text}));
}

bool print(const char* utf8) noexcept {
    Ref text = Ref::steal(PyUnicode_FromString(utf8));
    return text && print(text.get());
}

Ref concat_format(const char* prefix, PyObject* obj, const char* suffix) noexcept {
    Ref formatted = Ref::steal(PyObject_Format(obj, names().empty));
    if (!formatted) return {};
    return Ref::steal(PyUnicode_FromFormat("%s%U%s", prefix ? prefix : "", formatted.get(),
                                           suffix ? suffix : ""));
}

Ref concat_format(PyObject* prefix, PyObject* obj, PyObject* suffix) noexcept {
    Ref formatted = Ref::steal(PyObject_Format(obj, names().empty));
    return formatted ? concat({prefix, formatted.get(), suffix}) : Ref();
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

int truth_of_global(PyObject* name) noexcept {
    Ref value = global(name);
    return value ? PyObject_IsTrue(value.get()) : -1;
}

Ref make_path(PyObject* arg) noexcept {
    Ref path_type = global(names().Path);
    return path_type ? call(path_type.get(), {arg}) : Ref();
}

Ref module_file_path() noexcept {
    Ref path_type = global(names().Path);
    if (!path_type) return {};
    Ref file = global(names().dunder_file);
    return file ? call(path_type.get(), {file.get()}) : Ref();
}

int debug_requested() noexcept {
    Ref sys = global(names().sys);
    if (!sys) return -1;
    Ref argv = getattr(sys.get(), names().argv);
    if (!argv) return -1;
    return PySequence_Contains(argv.get(), names().debug_flag);
}

}  // namespace tessel
