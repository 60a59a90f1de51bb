// The command line: main(), its parser, the regrouping of file arguments
// that the shell split inside braces, and the summary.
#include "tessel.hpp"

namespace tessel {
namespace {

constexpr Literal description = "Create blank files with notification support";

// Every "#" stands in column 40.
constexpr Literal epilog =
    "\n"
    "Examples:\n"
    "  tessel file.txt                       # Create single file\n"
    "  tessel file1.txt file2.py file3       # Create multiple files\n"
    "  tessel dir/subdir/file.txt            # Create with directories\n"
    "  tessel dir/{a,b,c}.txt                # Brace expansion (creates dir/a.txt, dir/b.txt, dir/c.txt)\n"
    "  tessel dotenv/{__init__.py,core.py}   # Create package structure\n"
    "  \n"
    "Note: Use forward slashes (/) for directories, even on Windows.\n"
    "        ";

Ref build_parser() noexcept {
    Ref argparse = global(interned<"argparse">());
    if (!argparse) return {};
    Ref parser_type = getattr(argparse.get(), interned<"ArgumentParser">());
    if (!parser_type) return {};
    Ref formatter = global(interned<"CustomRichHelpFormatter">());
    if (!formatter) return {};
    Ref parser = call(parser_type.get(), kw<"description">(interned<description>()),
                      kw<"formatter_class">(formatter.get()), kw<"epilog">(interned<epilog>()));
    if (!parser) return {};

    PyObject* add_argument = interned<"add_argument">();
    if (!call_method(parser.get(), add_argument, interned<"files">(),
                     kw<"metavar">(interned<"FILE">()), kw<"nargs">(interned<"*">()),
                     kw<"help">(interned<"File(s) to create. Supports brace expansion.">())))
        return {};

    Ref version = global(interned<"__version__">());
    if (!version) return {};
    Ref version_text = concat_format(interned<"tessel v">(), version.get(),
                                     interned<" by the tessel developers">());
    if (!version_text ||
        !call_method(parser.get(), add_argument, interned<"--version">(),
                     kw<"action">(interned<"version">()), kw<"version">(version_text.get())))
        return {};

    if (!call_method(parser.get(), add_argument, interned<"--debug">(),
                     kw<"action">(interned<"store_true">()),
                     kw<"help">(interned<"Show detailed error messages">())))
        return {};
    return parser;
}

// Splits joined at blanks outside braces.  Every "{" opens and every "}"
// closes (no nesting); the blanks that separate are dropped and no entry is
// empty.  Since only separating blanks are dropped, each entry is a slice of
// the joined text, so one pass over its code points does it.
Ref regroup(PyObject* joined) noexcept {
    Ref file_list = Ref::steal(PyList_New(0));
    if (!file_list) return {};
    const int kind = PyUnicode_KIND(joined);
    const void* data = PyUnicode_DATA(joined);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(joined);
    bool in_braces = false;
    Py_ssize_t start = 0;
    auto flush = [&](Py_ssize_t end) {
        if (end == start) return true;
        Ref entry = Ref::steal(PyUnicode_Substring(joined, start, end));
        return entry && PyList_Append(file_list.get(), entry.get()) == 0;
    };
    for (Py_ssize_t i = 0; i < length; ++i) {
        switch (PyUnicode_READ(kind, data, i)) {
            case '{': in_braces = true; break;
            case '}': in_braces = false; break;
            case ' ':
                if (in_braces) break;
                if (!flush(i)) return {};
                start = i + 1;
                break;
            default: break;
        }
    }
    if (!flush(length)) return {};
    return file_list;
}

// Whether an argument comes out of regrouping as it went in: a str that is
// not empty and holds no blank and no brace.
bool stands_alone(PyObject* arg) noexcept {
    return PyUnicode_CheckExact(arg) && PyUnicode_GET_LENGTH(arg) > 0 && !holds(arg, ' ') &&
           !holds(arg, '{') && !holds(arg, '}');
}

// The file arguments regrouped: the arguments joined with blanks and split
// again.  When every argument stands alone, which is the usual case, the
// split gives the arguments back, so a copy of their list is the result.
Ref regrouped(PyObject* files) noexcept {
    if (PyList_CheckExact(files)) {
        // The copy is this function's alone, so nothing changes it meanwhile.
        Ref copy = Ref::steal(PyList_GetSlice(files, 0, PY_SSIZE_T_MAX));
        if (!copy) return {};
        bool alone = true;
        for (Py_ssize_t i = 0; alone && i < PyList_GET_SIZE(copy.get()); ++i)
            alone = stands_alone(PyList_GET_ITEM(copy.get(), i));
        if (alone) return copy;
    }
    Ref joined = Ref::steal(PyUnicode_Join(interned<" ">(), files));
    if (!joined) return {};
    return regroup(joined.get());
}

// How many files the entries stand for: a brace entry as many as it expands
// to, any other entry one.  create_files has seen the list and
// parse_brace_expansion may change it, so it is indexed anew each round, as
// the host's own list iteration does, and each entry is held while in use.
Ref expected_count(PyObject* creator, PyObject* file_list) noexcept {
    Ref terms = Ref::steal(PyList_New(0));
    if (!terms) return {};
    for (Py_ssize_t i = 0; Ref entry = list_item(file_list, i); ++i) {
        const int brace = is_brace_argument(entry.get());
        if (brace < 0) return {};
        Ref term;
        if (brace) {
            Ref expanded = call_method(creator, interned<"parse_brace_expansion">(), entry.get());
            if (!expanded) return {};
            const Py_ssize_t size = PyObject_Size(expanded.get());
            if (size < 0) return {};
            term = Ref::steal(PyLong_FromSsize_t(size));
        } else {
            term = Ref::new_ref(state.one.get());
        }
        if (!term || PyList_Append(terms.get(), term.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return call(state.sum.get(), terms.get());
}

// The parser's help printed: None, or null with an exception set.
Ref help_and_none(PyObject* parser) noexcept {
    if (!call_method(parser, interned<"print_help">())) return {};
    return Ref::new_ref(Py_None);
}

// The file arguments of the command line, regrouped; or, when there are
// none, the parser's help printed and None.
Ref file_list_or_help(PyObject* parser) noexcept {
    Ref argv = sys_argv();
    if (!argv) return {};
    const Py_ssize_t argc = PyObject_Size(argv.get());
    if (argc < 0) return {};
    if (argc == 1) return help_and_none(parser);

    Ref args = call_method(parser, interned<"parse_args">());
    if (!args) return {};
    Ref files = getattr(args.get(), interned<"files">());
    if (!files) return {};
    const int any = PyObject_IsTrue(files.get());
    if (any < 0) return {};
    if (!any) return help_and_none(parser);

    return regrouped(files.get());
}

// Prints the summary line; the exit status, or null with an exception set.
PyObject* summary(PyObject* success_count, PyObject* total_expected) noexcept {
    Ref created = Ref::steal(PyObject_Format(success_count, interned<"">()));
    if (!created) return nullptr;
    Ref expected = Ref::steal(PyObject_Format(total_expected, interned<"">()));
    if (!expected) return nullptr;
    Ref line = Ref::steal(PyUnicode_FromFormat("\n%U/%U file(s) created successfully",
                                               created.get(), expected.get()));
    if (!line || !print(line.get())) return nullptr;
    const int all = PyObject_RichCompareBool(success_count, total_expected, Py_EQ);
    if (all < 0) return nullptr;
    return PyLong_FromLong(all ? 0 : 1);
}

PyObject* main(PyObject* const*) noexcept {
    Ref parser = build_parser();
    if (!parser) return nullptr;
    Ref file_list = file_list_or_help(parser.get());
    if (!file_list) return nullptr;
    if (file_list.get() == Py_None) return PyLong_FromLong(0);

    Ref creator_type = global(interned<"FileCreator">());
    if (!creator_type) return nullptr;
    Ref creator = call(creator_type.get());
    if (!creator) return nullptr;
    Ref success_count = call_method(creator.get(), interned<"create_files">(), file_list.get());
    if (!success_count) return nullptr;
    Ref total_expected = expected_count(creator.get(), file_list.get());
    if (!total_expected) return nullptr;
    return summary(success_count.get(), total_expected.get());
}

}  // namespace

const FunctionSpec main_spec = {
    .name = "main",
    .qualname = "main",
    .doc = "main()\n\nMain entry point",
    .body = main,
    .where = TESSEL_HERE,
};

}  // namespace tessel
