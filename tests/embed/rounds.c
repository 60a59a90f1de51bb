/* An application that embeds CPython the way many do: it initialises the
 * interpreter, runs some Python code, and finalises it again, several times
 * in one process.
 *
 * usage: rounds N CODE
 * Runs CODE in N interpreters, one after the other, with the global `round`
 * set to 1, 2, ... N.  Exits with 1 as soon as a round fails. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s N CODE\n", argv[0]);
        return 2;
    }
    int rounds = atoi(argv[1]);
    for (int round = 1; round <= rounds; ++round) {
        Py_Initialize();
        PyObject *main_module = PyImport_AddModule("__main__");
        PyObject *value = PyLong_FromLong(round);
        int failed = main_module == NULL || value == NULL ||
                     PyObject_SetAttrString(main_module, "round", value) < 0;
        Py_XDECREF(value);
        if (failed)
            PyErr_Print();
        else
            failed = PyRun_SimpleString(argv[2]) != 0;
        fflush(stdout);
        if (Py_FinalizeEx() < 0 || failed) {
            fprintf(stderr, "round %d failed\n", round);
            return 1;
        }
    }
    return 0;
}
