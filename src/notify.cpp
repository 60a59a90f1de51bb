// Desktop notifications over GNTP: registration and one notification per file.
#include <cstring>

#include "tessel.hpp"

namespace tessel {

namespace {

// The application as GNTP knows it, and its one notification type.
constexpr Literal application = "tessel", notification_type = "create";

// The icon as the text of its file:// URI when the file exists now, else
// None.  (self.icon_path is read twice, as `self.icon_path.as_uri() if
// self.icon_path.exists() else None` reads it.)
Ref icon_argument(PyObject* self) noexcept {
    Ref icon_path = getattr(self, interned<"icon_path">());
    if (!icon_path) return {};
    Ref exists = call_method(icon_path.get(), interned<"exists">());
    if (!exists) return {};
    const int present = PyObject_IsTrue(exists.get());
    if (present < 0) return {};
    if (!present) return Ref::new_ref(Py_None);
    icon_path = getattr(self, interned<"icon_path">());
    if (!icon_path) return {};
    Ref uri = call_method(icon_path.get(), interned<"as_uri">());
    if (!uri) return {};
    return Ref::steal(PyObject_Str(uri.get()));
}

// A GNTP peer that closes the connection before its answer is complete.
//
// gntp (1.0.3) reads the answer with
//     while not data.endswith(b"\r\n\r\n"): data += sock.recv(1024)
// and recv gives b"" for ever once the peer has closed, so the loop would
// spin.  While tessel's own register() or notify() call runs, the socket
// that gntp connects on the same thread gets a class of tessel's whose recv
// raises ConnectionError at the end of the stream instead; gntp turns that
// into its NetworkError, as it does any failure of the socket, and the call
// fails the way the handlers below expect.  The package is called as
// before, and nothing else changes: no other thread's sockets, nothing
// outside the call.  The socket is found through the interpreter's
// "socket.connect" audit event, which gntp's connect() raises.

// The class, in the calling thread's storage while tessel's call runs (the
// interpreter's thread-specific storage: no C++ runtime needed for it; each
// thread has its own slot, so threads never see each other's calls).
Py_tss_t guard_key{};  // Py_tss_NEEDS_INIT, without a warning for its missing fields

// The audit hook; it stays for the life of the runtime, doing nothing
// outside tessel's calls.
int give_sockets_an_end(const char* event, PyObject* args, void*) noexcept {
    if (std::strcmp(event, "socket.connect") != 0 || !PyThread_tss_is_created(&guard_key)) return 0;
    auto* guard_class = static_cast<PyObject*>(PyThread_tss_get(&guard_key));
    if (!guard_class) return 0;
    PyObject* sock = PyTuple_GetItem(args, 0);
    if (!sock) return -1;
    if (Py_TYPE(sock) != reinterpret_cast<PyTypeObject*>(guard_class)->tp_base) return 0;
    return PyObject_SetAttr(sock, interned<"__class__">(), guard_class);
}

// socket.recv(self, bufsize), failing where the stream has ended.
PyObject* recv_to_the_end(PyObject* const* params) noexcept {
    PyObject* self = params[0];
    Ref recv = getattr(reinterpret_cast<PyObject*>(Py_TYPE(self)->tp_base), interned<"recv">());
    if (!recv) return nullptr;
    Ref data = call(recv.get(), self, params[1]);
    if (data && PyBytes_Check(data.get()) && PyBytes_GET_SIZE(data.get()) == 0) {
        PyErr_SetString(PyExc_ConnectionError, "connection closed before a complete answer");
        return nullptr;
    }
    return data.release();
}

constexpr Param self_bufsize[] = {{"self", Requires::anything}, {"bufsize", Requires::anything}};

const FunctionSpec recv_spec = {
    .name = "recv",
    .qualname = "socket.recv",
    .doc = "socket.recv(self, bufsize)\n\nReceive data; the end of the stream is an error",
    .params = parameters(self_bufsize),
    .body = recv_to_the_end,
    .where = TESSEL_HERE,
};

}  // namespace

// class socket(socket.socket): __slots__ = (); recv = recv_to_the_end, with
// the audit hook added for the state that keeps it.  Made with the module,
// when gntp (which imports socket) could be imported.
Ref make_gntp_guard() noexcept {
    if (PyThread_tss_create(&guard_key) != 0) {
        PyErr_NoMemory();
        return {};
    }
    Ref module = Ref::steal(PyImport_Import(interned<"socket">()));
    if (!module) return {};
    Ref base = getattr(module.get(), interned<"socket">());
    if (!base) return {};
    Ref recv = make_function(recv_spec);
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    Ref slots = Ref::steal(PyTuple_New(0));
    Ref body = Ref::steal(PyDict_New());
    if (!recv || !bases || !slots || !body ||
        !set_item(body.get(), interned<"__slots__">(), slots.get()) ||
        !set_item(body.get(), interned<"__module__">(), interned<"tessel.tessel">()) ||
        !set_item(body.get(), interned<"recv">(), recv.get()))
        return {};
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), interned<"socket">(), bases.get(),
                   body.get());
    // A hook that another hook refuses leaves the mend out, as the
    // interpreter leaves out hooks whose refusal is a RuntimeError.
    if (cls && PySys_AddAuditHook(give_sockets_an_end, nullptr) < 0) {
        if (!pending_is_exception()) return {};
        PyErr_Clear();
    }
    return cls;
}

namespace {

// exchange() with the guard in place; what it returns.  (Without gntp at
// import there is no guard: the gntp bound since then is the caller's own.)
template <class Exchange>
Ref guarded(Exchange exchange) noexcept {
    PyObject* cls = state.gntp_guard.get();
    if (!cls) return exchange();
    void* const previous = PyThread_tss_get(&guard_key);
    if (PyThread_tss_set(&guard_key, cls) != 0) return Ref::steal(PyErr_NoMemory());
    Ref result = exchange();
    PyThread_tss_set(&guard_key, previous);  // a slot that was set is set again
    return result;
}

Ref one_notification_type() noexcept { return list_of(interned<notification_type>()); }

// Builds and registers the notifier; false with an exception set.
bool register_notifier(PyObject* self) noexcept {
    Ref gntp = global(interned<"gntp">());
    if (!gntp) return false;
    Ref notifier_module = getattr(gntp.get(), interned<"notifier">());
    if (!notifier_module) return false;
    Ref notifications = one_notification_type();
    if (!notifications) return false;
    Ref default_notifications = one_notification_type();
    if (!default_notifications) return false;
    Ref icon = icon_argument(self);
    if (!icon) return false;
    Ref growl_notifier = getattr(notifier_module.get(), interned<"GrowlNotifier">());
    if (!growl_notifier) return false;
    Ref notifier = call(growl_notifier.get(), kw<"applicationName">(interned<application>()),
                        kw<"notifications">(notifications.get()),
                        kw<"defaultNotifications">(default_notifications.get()),
                        kw<"applicationIcon">(icon.get()));
    // Set, then read back: self.growl = ...; self.growl.register().
    if (!notifier || PyObject_SetAttr(self, interned<"growl">(), notifier.get()) < 0) return false;
    Ref growl = getattr(self, interned<"growl">());
    return growl && guarded([&growl] { return call_method(growl.get(), interned<"register">()); });
}

PyObject* init_growl(PyObject* const* params) noexcept {
    PyObject* self = params[0];
    if (register_notifier(self)) Py_RETURN_NONE;
    const bool handled = handle_exception(init_growl_spec, TESSEL_HERE, [self](PyObject* e) {
        return print_exception(interned<"Warning: Could not initialize Growl: ">(), e) &&
               PyObject_SetAttr(self, interned<"growl">(), Py_None) == 0;
    });
    return handled ? Py_NewRef(Py_None) : nullptr;
}

// Sends one notification; false with an exception set.
bool send(PyObject* self, PyObject* filepath) noexcept {
    Ref growl = getattr(self, interned<"growl">());
    if (!growl) return false;
    Ref path = make_path(filepath);
    if (!path) return false;
    Ref name = getattr(path.get(), interned<"name">());
    if (!name) return false;
    Ref description = concat_format(interned<"File created: \"">(), name.get(), interned<"\"">());
    if (!description) return false;
    Ref icon = icon_argument(self);
    if (!icon) return false;
    return static_cast<bool>(guarded([&] {
        return call_method(
            growl.get(), interned<"notify">(), kw<"noteType">(interned<notification_type>()),
            kw<"title">(interned<application>()), kw<"description">(description.get()),
            kw<"icon">(icon.get()), kw<"sticky">(Py_False), kw<"priority">(state.one.get()));
    }));
}

PyObject* notify(PyObject* const* params) noexcept {
    PyObject* self = params[0];
    PyObject* filepath = params[1];
    Ref growl = getattr(self, interned<"growl">());
    if (!growl) return nullptr;
    int on = PyObject_IsTrue(growl.get());
    if (on < 0) return nullptr;
    if (!on) Py_RETURN_NONE;
    on = truth_of_global(interned<"HAS_GROWL">());
    if (on < 0) return nullptr;
    if (!on) Py_RETURN_NONE;

    if (send(self, filepath)) Py_RETURN_NONE;
    const bool handled = handle_exception(notify_spec, TESSEL_HERE, [](PyObject* e) {
        const int debug = debug_requested();
        return debug >= 0 && (!debug || print_exception(interned<"Notification error: ">(), e));
    });
    return handled ? Py_NewRef(Py_None) : nullptr;
}

constexpr Annotation notify_annotations[] = {{"filepath", "str"}};

}  // namespace

const FunctionSpec init_growl_spec = {
    .name = "_init_growl",
    .qualname = "FileCreator._init_growl",
    .doc = "FileCreator._init_growl(self)\n\nInitialize Growl notifier",
    .params = parameters(self_only),
    .body = init_growl,
    .where = TESSEL_HERE,
};

const FunctionSpec notify_spec = {
    .name = "_notify",
    .qualname = "FileCreator._notify",
    .doc = "FileCreator._notify(self, str filepath: str)\n\nSend desktop notification",
    .params = parameters(self_filepath),
    .annotations = notify_annotations,
    .body = notify,
    .where = TESSEL_HERE,
};

}  // namespace tessel
