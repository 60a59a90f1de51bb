// Desktop notifications over GNTP: registration and one notification per file.
#include "tessel.hpp"

namespace tessel {

// FileCreator's methods of this area, defined below their bodies; the class
// is assembled in file_creator.cpp.
extern const FunctionSpec init_growl_spec, notify_spec;

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
    if (!present) return Ref::borrow(Py_None);
    icon_path = getattr(self, interned<"icon_path">());
    if (!icon_path) return {};
    Ref uri = call_method(icon_path.get(), interned<"as_uri">());
    if (!uri) return {};
    return Ref::steal(PyObject_Str(uri.get()));
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
    Ref notifier = call(
        growl_notifier.get(), {},
        {kw<"applicationName">(interned<application>()), kw<"notifications">(notifications.get()),
         kw<"defaultNotifications">(default_notifications.get()),
         kw<"applicationIcon">(icon.get())});
    // Set, then read back: self.growl = ...; self.growl.register().
    if (!notifier || PyObject_SetAttr(self, interned<"growl">(), notifier.get()) < 0) return false;
    Ref growl = getattr(self, interned<"growl">());
    return growl && call_method(growl.get(), interned<"register">());
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
    return static_cast<bool>(call_method(
        growl.get(), interned<"notify">(), {},
        {kw<"noteType">(interned<notification_type>()), kw<"title">(interned<application>()),
         kw<"description">(description.get()), kw<"icon">(icon.get()), kw<"sticky">(Py_False),
         kw<"priority">(state.one.get())}));
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
