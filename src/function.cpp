// The module's callable type: function objects made in C++ that behave as
// Python's own, and the binder that checks their arguments.
#include "tessel.hpp"

#include <array>

namespace tessel {
namespace {

// A function of the module, made in C++.  Like a Python function it carries
// its globals, names, docstring, annotations and an attribute dictionary;
// every text of its spec is held here as a str.
struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* globals;  // the module dict, also __globals__
    PyObject* params;   // a tuple: the parameter names, interned
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakrefs;  // the list of weak references, as functions have
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
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, "exactly", expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

// Raises the exact-type TypeError for arg, naming its type as the host's
// own type errors do (tp_name: "array.array", "PosixPath"); a subclass
// instance gets a note explaining why it was refused.
PyObject* wrong_type(PyObject* param_name, PyTypeObject* wanted, PyObject* arg) noexcept {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200U' has incorrect type (expected %.200s, got %.200s)", param_name,
                 wanted->tp_name, Py_TYPE(arg)->tp_name);
    if (!PyObject_TypeCheck(arg, wanted)) return nullptr;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref note = Ref::steal(PyUnicode_FromFormat(
        "tessel takes exact built-in types only: instances of subclasses of %s are refused",
        wanted->tp_name));
    if (note) {
        Ref done = call_method(exc.get(), interned<"add_note">(), note.get());
        if (!done) return nullptr;  // the failure of add_note replaces the TypeError
    }
    PyErr_SetRaisedException(exc.release());
    return nullptr;
}

bool check_type(Requires type, PyObject* name, PyObject* arg) noexcept {
    PyTypeObject* wanted = nullptr;
    switch (type) {
        case Requires::anything: return true;
        case Requires::exact_str: wanted = &PyUnicode_Type; break;
        case Requires::exact_list: wanted = &PyList_Type; break;
    }
    if (Py_IS_TYPE(arg, wanted)) return true;
    wrong_type(name, wanted, arg);
    return false;
}

// Keyword names are compared by identity first: the interpreter passes the
// interned names of the call site, which usually are ours.
bool same_name(PyObject* a, PyObject* b) noexcept { return a == b || PyUnicode_Compare(a, b) == 0; }

// Runs the body; an exception leaving it gets the function's traceback entry.
PyObject* call_body(const FunctionSpec& spec, PyObject* const* params) noexcept {
    PyObject* result = spec.body(params);
    if (!result) add_traceback(spec, spec.where);
    return result;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) noexcept {
    const FunctionSpec& spec = *as_function(callable)->spec;
    if (!is_live(callable)) return module_gone();
    PyObject* const names = as_function(callable)->params;
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
        return call_body(spec, nullptr);
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
        for (; index < nparams; ++index) {
            if (same_name(key, PyTuple_GET_ITEM(names, index))) break;
        }
        if (index == nparams) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name,
                         key);
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
        if (!check_type(spec.params[i].type, PyTuple_GET_ITEM(names, i), bound[i])) return nullptr;
    return call_body(spec, bound.data());
}

// Type slots ----------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->globals);
    Py_VISIT(f->params);
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
    Py_CLEAR(f->params);
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
    Ref list = Ref::steal(PyUnicode_Join(interned<", ">(), as_function(self)->params));
    if (!list) return nullptr;
    return PyUnicode_FromFormat("(%U)", list.get());
}

// The annotation of a parameter (or "return") as __annotations__ holds it
// now, or inspect's empty marker.
Ref annotation_of(PyObject* self, PyObject* name, PyObject* empty) noexcept {
    Ref found;
    const int present = dict_item(as_function(self)->annotations, name, found);
    return present == 0 ? Ref::new_ref(empty) : std::move(found);
}

// inspect.signature() takes __signature__ before __text_signature__, which
// cannot carry annotations: the parameters with their annotations, as it
// shows a Python function's, so that help() and other tools render them.
PyObject* function_signature(PyObject* self, void*) noexcept {
    if (!is_live(self)) return module_gone();
    Ref inspect = Ref::steal(PyImport_Import(interned<"inspect">()));
    if (!inspect) return nullptr;
    Ref parameter = getattr(inspect.get(), interned<"Parameter">());
    if (!parameter) return nullptr;
    Ref signature = getattr(inspect.get(), interned<"Signature">());
    if (!signature) return nullptr;
    Ref kind = getattr(parameter.get(), interned<"POSITIONAL_OR_KEYWORD">());
    if (!kind) return nullptr;
    Ref empty = getattr(parameter.get(), interned<"empty">());
    if (!empty) return nullptr;
    Ref params = Ref::steal(PyList_New(0));
    if (!params) return nullptr;
    PyObject* const names = as_function(self)->params;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        Ref annotation = annotation_of(self, name, empty.get());
        if (!annotation) return nullptr;
        Ref param = call(parameter.get(), name, kind.get(), kw<"annotation">(annotation.get()));
        if (!param || PyList_Append(params.get(), param.get()) < 0) return nullptr;
    }
    Ref result = annotation_of(self, interned<"return">(), empty.get());
    if (!result) return nullptr;
    return call(signature.get(), params.get(), kw<"return_annotation">(result.get())).release();
}

// Copies and pickles treat the functions as Python treats its own: a copy is
// the function itself, and a pickle names it by module and qualified name
// (a str from __reduce__ means "the global of that name"), so that
// unpickling finds the same object.
PyObject* function_copy(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

PyObject* function_deepcopy(PyObject* self, PyObject* /*memo*/) noexcept { return Py_NewRef(self); }

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
    {"__signature__", function_signature, nullptr, nullptr, nullptr},
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
    .name = "tessel.tessel.function",
    .basicsize = sizeof(Function),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

}  // namespace

bool init_function_type() noexcept {
    state.function_type = Ref::steal(PyType_FromSpec(&function_type_spec));
    return static_cast<bool>(state.function_type);
}

Ref make_function(const FunctionSpec& spec) noexcept {
    Ref params = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(spec.params.size())));
    if (!params) return {};
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        PyObject* param = PyUnicode_InternFromString(spec.params[i].name);
        if (!param) return {};
        PyTuple_SET_ITEM(params.get(), static_cast<Py_ssize_t>(i), param);
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
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
    f->params = params.release();
    f->name = name.release();
    f->qualname = qualname.release();
    f->doc = doc.release();
    f->module = Py_NewRef(interned<"tessel.tessel">());
    f->annotations = annotations.release();
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

Ref add_function(PyObject* dict, const FunctionSpec& spec) noexcept {
    Ref f = make_function(spec);
    if (!f || !set_item(dict, as_function(f.get())->name, f.get())) return {};
    return Ref::new_ref(as_function(f.get())->name);
}

}  // namespace tessel
