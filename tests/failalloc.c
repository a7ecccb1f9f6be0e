/* Test-only allocation-failure injection, never part of the wheel: the test
 * session compiles it against the running interpreter's headers.
 *
 * Hooks the RAW, MEM and OBJ allocators and, once armed, counts the
 * allocations made directly by the brindova modules: those whose nearest stack
 * frame outside the interpreter and this helper lies in talvesh*.so or
 * extensions*.so, with no bytecode evaluation in between (an allocation made
 * by Python code that our module called belongs to that code). The Nth such
 * allocation fails (one-shot), or the Nth and every later one (persistent).
 *
 *   install()                     put the hooks in place (once per process)
 *   arm(n, persistent=False)      start counting; fail from the nth on
 *   disarm() -> (seen, failed, spared)
 *                                 stop; our allocations seen, failures injected,
 *                                 allocations left alone under a spared function
 *   interpreter() -> str          the file holding the interpreter's code
 *   spare(start, end)             never fail under the interpreter function
 *                                 at offsets [start, end) of that file when the
 *                                 interpreter itself called it (a known
 *                                 interpreter fault; the faulty functions are
 *                                 static, so the caller finds them by name)
 *   total() -> int                every allocation through the hooks, ours or not
 *
 * With FAILALLOC_TRACE set, the interpreter frames of each first injected
 * failure go to stderr as file offsets, for addr2line.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <dlfcn.h>
#include <execinfo.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { DEPTH = 48 };

static PyMemAllocatorEx saved[3];
static int installed;
static long target;  /* 0: disarmed */
static int persistent;
static long seen, failed, total_count;
static const void *self_base, *interp_base;
/* Allocations under these interpreter functions (offset ranges), when the
 * interpreter itself called them, are never failed (known interpreter
 * faults); they are counted apart. */
static struct { size_t start, end; } spare_ranges[8];
static int spare_count;
static long spared;

/* Offsets of the interpreter frames of the allocation being decided. */
static size_t stack_offsets[DEPTH];
static int stack_depth;

/* 1: ours, 0: not ours, 2: ours but under a spared interpreter function. */
static int is_ours(void)
{
    void *frames[DEPTH];
    int depth = backtrace(frames, DEPTH);
    int spare = 0, spare_candidate = 0, in_self = 0;
    stack_depth = 0;
    for (int i = 0; i < depth; i++) {
        Dl_info info;
        if (!dladdr(frames[i], &info) || info.dli_fname == NULL) {
            return 0;
        }
        if (info.dli_fbase == self_base) {
            in_self = 1;
            continue;
        }
        /* Frames above the helper's own belong to the unwinder: under ASan
         * backtrace() is the runtime's interceptor, whose frame comes first. */
        if (!in_self) {
            continue;
        }
        if (info.dli_fbase == interp_base) {
            size_t offset = (size_t)((const char *)frames[i] - (const char *)interp_base);
            /* Bytecode running on behalf of a native caller. */
            if (info.dli_sname != NULL && strcmp(info.dli_sname, "_PyEval_EvalFrameDefault") == 0) {
                return 0;
            }
            /* A spared function counts only when its caller is the
             * interpreter: our own calls of it are still failed. */
            spare |= spare_candidate;
            spare_candidate = 0;
            for (int k = 0; k < spare_count; k++) {
                spare_candidate |= spare_ranges[k].start <= offset && offset < spare_ranges[k].end;
            }
            stack_offsets[stack_depth++] = offset;
            continue;
        }
        const char *base = strrchr(info.dli_fname, '/');
        base = base ? base + 1 : info.dli_fname;
        if (strncmp(base, "talvesh.", 8) == 0 || strncmp(base, "extensions.", 11) == 0) {
            return spare ? 2 : 1;
        }
        return 0;
    }
    return 0;
}

static int should_fail(void)
{
    total_count++;
    if (target == 0) {
        return 0;
    }
    int ours = is_ours();
    if (ours == 2) {
        spared++;
    }
    if (ours != 1) {
        return 0;
    }
    seen++;
    if (seen == target || (persistent && seen > target)) {
        if (failed++ == 0 && getenv("FAILALLOC_TRACE") != NULL) {
            for (int i = 0; i < stack_depth; i++) {
                fprintf(stderr, "failalloc: 0x%zx\n", stack_offsets[i]);
            }
        }
        return 1;
    }
    return 0;
}

static void *hook_malloc(void *ctx, size_t size)
{
    PyMemAllocatorEx *a = ctx;
    return should_fail() ? NULL : a->malloc(a->ctx, size);
}

static void *hook_calloc(void *ctx, size_t n, size_t size)
{
    PyMemAllocatorEx *a = ctx;
    return should_fail() ? NULL : a->calloc(a->ctx, n, size);
}

static void *hook_realloc(void *ctx, void *p, size_t size)
{
    PyMemAllocatorEx *a = ctx;
    return should_fail() ? NULL : a->realloc(a->ctx, p, size);
}

static void hook_free(void *ctx, void *p)
{
    PyMemAllocatorEx *a = ctx;
    a->free(a->ctx, p);
}

static PyObject *install(PyObject *self, PyObject *unused)
{
    if (!installed) {
        Dl_info info;
        void *frames[1];
        if (!dladdr((void *)&install, &info)) {
            return PyErr_Format(PyExc_OSError, "dladdr failed on the helper");
        }
        self_base = info.dli_fbase;
        if (!dladdr((void *)&PyMem_Malloc, &info)) {
            return PyErr_Format(PyExc_OSError, "dladdr failed on the interpreter");
        }
        interp_base = info.dli_fbase;
        /* The first backtrace loads the unwinder: do it before any hook runs. */
        backtrace(frames, 1);
        const PyMemAllocatorDomain domains[3] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};
        for (int i = 0; i < 3; i++) {
            PyMem_GetAllocator(domains[i], &saved[i]);
            PyMemAllocatorEx hook = {&saved[i], hook_malloc, hook_calloc, hook_realloc, hook_free};
            PyMem_SetAllocator(domains[i], &hook);
        }
        installed = 1;
    }
    Py_RETURN_NONE;
}

static PyObject *arm(PyObject *self, PyObject *args)
{
    long n;
    int persist = 0;
    if (!PyArg_ParseTuple(args, "l|p", &n, &persist)) {
        return NULL;
    }
    if (!installed || n < 1) {
        return PyErr_Format(PyExc_ValueError, "install() first, and n >= 1");
    }
    seen = failed = spared = 0;
    persistent = persist;
    target = n;
    Py_RETURN_NONE;
}

static PyObject *disarm(PyObject *self, PyObject *unused)
{
    target = 0;
    return Py_BuildValue("(lll)", seen, failed, spared);
}

static PyObject *spare(PyObject *self, PyObject *args)
{
    Py_ssize_t start, end;
    if (!PyArg_ParseTuple(args, "nn", &start, &end)) {
        return NULL;
    }
    if (spare_count == (int)(sizeof spare_ranges / sizeof spare_ranges[0]) || start < 0 || start >= end) {
        return PyErr_Format(PyExc_ValueError, "too many spared ranges, or an empty one");
    }
    spare_ranges[spare_count].start = (size_t)start;
    spare_ranges[spare_count++].end = (size_t)end;
    Py_RETURN_NONE;
}

static PyObject *interpreter(PyObject *self, PyObject *unused)
{
    Dl_info info;
    if (!dladdr((void *)&PyMem_Malloc, &info) || info.dli_fname == NULL) {
        return PyErr_Format(PyExc_OSError, "dladdr failed on the interpreter");
    }
    return PyUnicode_DecodeFSDefault(info.dli_fname);
}

static PyObject *total(PyObject *self, PyObject *unused)
{
    return PyLong_FromLong(total_count);
}

static PyMethodDef methods[] = {
    {"install", install, METH_NOARGS, NULL},
    {"arm", arm, METH_VARARGS, NULL},
    {"disarm", disarm, METH_NOARGS, NULL},
    {"total", total, METH_NOARGS, NULL},
    {"spare", spare, METH_VARARGS, NULL},
    {"interpreter", interpreter, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "failalloc", NULL, -1, methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_failalloc(void)
{
    return PyModule_Create(&definition);
}
