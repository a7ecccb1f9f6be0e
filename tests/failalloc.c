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
 *   live() -> int                 our allocations (counted while armed) not yet
 *                                 freed: what a leak of ours leaves behind,
 *                                 whatever the rest of the interpreter does
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

/* Addresses of our allocations not yet freed: an open-addressing set in
 * memory of its own (the hooks must not allocate through themselves), used by
 * the sweep's children, which run one thread. */
enum { LIVE_CAPACITY = 1 << 20 };
static const void *TOMBSTONE = (const void *)1;
static const void **live_set;
static long live_count, live_used; /* entries; slots ever filled (tombstones too) */
static int live_overflow;

static size_t live_slot(const void *p)
{
    return ((size_t)p >> 4) * 0x9E3779B97F4A7C15u >> 44;
}

static void live_insert(const void **set, const void *p)
{
    size_t i = live_slot(p);
    while (set[i] != NULL && set[i] != TOMBSTONE) {
        i = (i + 1) & (LIVE_CAPACITY - 1);
    }
    live_used += set[i] == NULL;
    set[i] = p;
}

static void live_add(const void *p)
{
    if (p == NULL || live_set == NULL || live_overflow) {
        return;
    }
    /* Past half full the probes grow long: drop the tombstones, or give up
     * (live() then refuses to answer rather than undercount). */
    if (live_used >= LIVE_CAPACITY / 2) {
        const void **fresh = live_count < LIVE_CAPACITY / 4 ? calloc(LIVE_CAPACITY, sizeof *fresh) : NULL;
        if (fresh == NULL) {
            live_overflow = 1;
            return;
        }
        live_used = 0;
        for (size_t i = 0; i < LIVE_CAPACITY; i++) {
            if (live_set[i] != NULL && live_set[i] != TOMBSTONE) {
                live_insert(fresh, live_set[i]);
            }
        }
        free(live_set);
        live_set = fresh;
    }
    live_insert(live_set, p);
    live_count++;
}

/* 1 if `p` was one of ours (and is no longer). */
static int live_remove(const void *p)
{
    if (p == NULL || live_count == 0) {
        return 0;
    }
    for (size_t i = live_slot(p); live_set[i] != NULL; i = (i + 1) & (LIVE_CAPACITY - 1)) {
        if (live_set[i] == p) {
            live_set[i] = TOMBSTONE;
            live_count--;
            return 1;
        }
    }
    return 0;
}

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

/* -1: fail this allocation; 1: make it, it is ours; 0: make it, not ours. */
static int decide(void)
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
        return -1;
    }
    return 1;
}

static void *made(int ours, void *p)
{
    if (ours) {
        live_add(p);
    }
    return p;
}

static void *hook_malloc(void *ctx, size_t size)
{
    PyMemAllocatorEx *a = ctx;
    int ours = decide();
    return ours < 0 ? NULL : made(ours, a->malloc(a->ctx, size));
}

static void *hook_calloc(void *ctx, size_t n, size_t size)
{
    PyMemAllocatorEx *a = ctx;
    int ours = decide();
    return ours < 0 ? NULL : made(ours, a->calloc(a->ctx, n, size));
}

/* A block of ours stays ours when the interpreter resizes it. */
static void *hook_realloc(void *ctx, void *p, size_t size)
{
    PyMemAllocatorEx *a = ctx;
    int ours = decide();
    if (ours < 0) {
        return NULL;
    }
    void *q = a->realloc(a->ctx, p, size);
    if (q != NULL) {
        ours |= live_remove(p);
    }
    return made(ours, q);
}

static void hook_free(void *ctx, void *p)
{
    PyMemAllocatorEx *a = ctx;
    live_remove(p);
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
        live_set = calloc(LIVE_CAPACITY, sizeof *live_set);
        if (live_set == NULL) {
            return PyErr_NoMemory();
        }
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

static PyObject *live(PyObject *self, PyObject *unused)
{
    if (live_overflow) {
        return PyErr_Format(PyExc_RuntimeError, "too many live allocations of ours to follow");
    }
    return PyLong_FromLong(live_count);
}

static PyMethodDef methods[] = {
    {"install", install, METH_NOARGS, NULL},
    {"arm", arm, METH_VARARGS, NULL},
    {"disarm", disarm, METH_NOARGS, NULL},
    {"total", total, METH_NOARGS, NULL},
    {"live", live, METH_NOARGS, NULL},
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
