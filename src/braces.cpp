// Brace expansion: "dir/{a,b}.txt" stands for dir/a.txt and dir/b.txt.
#include "tessel.hpp"

namespace tessel {

namespace {

Ref group(PyObject* match, long index) noexcept {
    Ref number = Ref::steal(PyLong_FromLong(index));
    if (!number) return {};
    return call_method(match, interned<"group">(), number.get());
}

// A prefix without a trailing separator gets a "/": dir{a} means dir/a.
Ref with_separator(Ref prefix) noexcept {
    const int nonempty = PyObject_IsTrue(prefix.get());
    if (nonempty < 0) return {};
    if (!nonempty) return prefix;
    Ref ends = call_method(prefix.get(), interned<"endswith">(), state.separators.get());
    if (!ends) return {};
    const int separated = PyObject_IsTrue(ends.get());
    if (separated < 0) return {};
    if (separated) return prefix;
    return Ref::steal(PyNumber_Add(prefix.get(), interned<"/">()));
}

// part.strip().split().  For an exact str these are the host's own str.strip
// and str.split, called without looking them up on each of the many parts:
// the built-in str type cannot be changed.
Ref words_of(PyObject* part) noexcept {
    if (!PyUnicode_CheckExact(part)) {
        Ref stripped = call_method(part, interned<"strip">());
        if (!stripped) return {};
        return call_method(stripped.get(), interned<"split">());
    }
    Ref stripped = call(state.str_strip.get(), part);
    if (!stripped) return {};
    return Ref::steal(PyUnicode_Split(stripped.get(), nullptr, -1));
}

// prefix + item + suffix; exact str objects are joined in one step, with the
// same result as the two additions.
Ref path_of(PyObject* prefix, PyObject* item, PyObject* suffix) noexcept {
    if (PyUnicode_CheckExact(prefix) && PyUnicode_CheckExact(item) && PyUnicode_CheckExact(suffix))
        return concat({prefix, item, suffix});
    Ref head = Ref::steal(PyNumber_Add(prefix, item));
    if (!head) return {};
    return Ref::steal(PyNumber_Add(head.get(), suffix));
}

// The items between the braces: the words of each comma-separated part.
Ref items_of(PyObject* items_str) noexcept {
    Ref parts = call_method(items_str, interned<"split">(), interned<",">());
    if (!parts) return {};
    Ref items = Ref::steal(PyList_New(0));
    if (!items) return {};
    Ref part_iter = Ref::steal(PyObject_GetIter(parts.get()));
    if (!part_iter) return {};
    while (Ref part = Ref::steal(PyIter_Next(part_iter.get()))) {
        Ref words = words_of(part.get());
        if (!words || !extend(items.get(), words.get())) return {};
    }
    if (PyErr_Occurred()) return {};
    return items;
}

PyObject* parse_brace_expansion(PyObject* const* params) noexcept {
    PyObject* text = params[1];
    Ref re = global(interned<"re">());
    if (!re) return nullptr;
    // What comes before the braces, the items inside them, what follows them.
    PyObject* pattern = interned<"([^{]*)\\{([^}]+)\\}([^{]*)">();
    Ref match = call_method(re.get(), interned<"search">(), pattern, text);
    if (!match) return nullptr;
    const int found = PyObject_IsTrue(match.get());
    if (found < 0) return nullptr;
    if (!found) return list_of(text).release();

    Ref prefix = group(match.get(), 1);
    if (!prefix) return nullptr;
    Ref items_str = group(match.get(), 2);
    if (!items_str) return nullptr;
    Ref suffix = group(match.get(), 3);
    if (!suffix) return nullptr;
    prefix = with_separator(std::move(prefix));
    if (!prefix) return nullptr;

    Ref items = items_of(items_str.get());
    if (!items) return nullptr;
    Ref expanded = Ref::steal(PyList_New(0));
    if (!expanded) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Ref filepath = path_of(prefix.get(), PyList_GET_ITEM(items.get(), i), suffix.get());
        if (!filepath || PyList_Append(expanded.get(), filepath.get()) < 0) return nullptr;
    }
    return expanded.release();
}

constexpr Param self_text[] = {{"self", Requires::anything}, {"text", Requires::exact_str}};
constexpr Annotation annotations[] = {{"text", "str"}, {"return", "List[str]"}};

}  // namespace

const FunctionSpec parse_brace_expansion_spec = {
    .name = "parse_brace_expansion",
    .qualname = "FileCreator.parse_brace_expansion",
    .doc =
        "FileCreator.parse_brace_expansion(self, str text: str) -> List[str]\n"
        "\n"
        "Parse brace expansion patterns like: \n"
        "- dir/{file1,file2,file3}.txt\n"
        "- dir{file1,file2,file3} (assumes dir/ prefix)\n"
        "Also handles spaces after commas and validates the pattern\n"
        "Returns: List of expanded filenames",
    .params = parameters(self_text),
    .annotations = annotations,
    .body = parse_brace_expansion,
    .where = TESSEL_HERE,
};

}  // namespace tessel
