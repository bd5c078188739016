/* A test-only buffer exporter whose every reported field is set by the test.
 *
 * Exporter(data, **fields) owns a memory block, initialised from `data`
 * (bytes) or zero-filled (`data` an int size).  Each export reports the
 * fields as they are at that moment, independent of the request flags:
 *
 *   format      str or bytes, None for a null format       (default "B")
 *   shape, strides, suboffsets   tuple of ints, None for null
 *                                (defaults (size,), (1,), None)
 *   ndim, itemsize               (defaults 1, 1)
 *   len         int, None for the block's size              (default None)
 *   readonly, null_buf, leave_obj_null                      (default False)
 *   error       an exception (class or instance) that the request raises
 *   fail_silently   the request fails without setting any exception
 *   on_export   a callable run with the exporter at the start of each
 *               request; what it raises fails the request
 *   on_release  a callable run with the exporter at each release, after the
 *               export is counted out; what it raises is left pending, as a
 *               careless exporter would leave it
 *
 * Each export gets its own copies of the arrays and the format, so a test
 * may change fields while exports are live.  Arrays are padded with zeros
 * to at least `ndim` entries, so a short tuple never makes a consumer read
 * outside them.  `live_exports` and `last_flags` record the requests;
 * `resize(n)` refuses while an export is live, like a resizable array.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>
#include <string.h>

/* Valid as C and as C++: the helper builder compiles it with g++. */

typedef struct {
    PyObject_HEAD
    char *memory;
    Py_ssize_t size;
    PyObject *format;
    PyObject *shape;
    PyObject *strides;
    PyObject *suboffsets;
    PyObject *len;
    PyObject *error;
    PyObject *on_export;
    PyObject *on_release;
    int ndim;
    Py_ssize_t itemsize;
    char readonly;
    char null_buf;
    char leave_obj_null;
    char fail_silently;
    Py_ssize_t live_exports;
    int last_flags;
} Exporter;

/* Per-export storage, freed at release: the three arrays in one block, and
 * the format. */
typedef struct {
    Py_ssize_t *arrays;
    char *format;
} Export;

static void free_export(Export *ex)
{
    if (ex != NULL) {
        PyMem_Free(ex->arrays);
        PyMem_Free(ex->format);
        PyMem_Free(ex);
    }
}

static Py_ssize_t tuple_length(PyObject *tuple)
{
    return (tuple != NULL && PyTuple_Check(tuple)) ? PyTuple_GET_SIZE(tuple) : 0;
}

/* Copies `tuple` (or nothing, for None) into the next `count` entries. */
static int fill_array(PyObject *tuple, Py_ssize_t count, Py_ssize_t **out, Py_ssize_t **cursor)
{
    *out = NULL;
    if (tuple == NULL || tuple == Py_None) {
        return 0;
    }
    if (!PyTuple_Check(tuple)) {
        PyErr_SetString(PyExc_TypeError, "shape, strides and suboffsets must be tuples or None");
        return -1;
    }
    *out = *cursor;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
        Py_ssize_t v = PyLong_AsSsize_t(PyTuple_GET_ITEM(tuple, i));
        if (v == -1 && PyErr_Occurred()) {
            return -1;
        }
        (*out)[i] = v;
    }
    *cursor += count;
    return 0;
}

static int copy_format(PyObject *format, Export *ex)
{
    if (format == NULL || format == Py_None) {
        return 0;
    }
    const char *text = NULL;
    Py_ssize_t length = 0;
    if (PyUnicode_Check(format)) {
        text = PyUnicode_AsUTF8AndSize(format, &length);
    }
    else if (PyBytes_Check(format)) {
        text = PyBytes_AS_STRING(format);
        length = PyBytes_GET_SIZE(format);
    }
    else {
        PyErr_SetString(PyExc_TypeError, "format must be str, bytes or None");
    }
    if (text == NULL) {
        return -1;
    }
    ex->format = (char *)PyMem_Malloc((size_t)length + 1);
    if (ex->format == NULL) {
        PyErr_NoMemory();
        return -1;
    }
    memcpy(ex->format, text, (size_t)length + 1);
    return 0;
}

/* Runs `hook(obj)` if a hook is set; the hook may clear itself meanwhile. */
static int run_hook(PyObject *hook, PyObject *obj)
{
    if (hook == NULL || hook == Py_None) {
        return 0;
    }
    Py_INCREF(hook);
    PyObject *result = PyObject_CallFunctionObjArgs(hook, obj, NULL);
    Py_DECREF(hook);
    if (result == NULL) {
        return -1;
    }
    Py_DECREF(result);
    return 0;
}

static int exporter_getbuffer(PyObject *obj, Py_buffer *view, int flags)
{
    Exporter *self = (Exporter *)obj;
    self->last_flags = flags;
    view->obj = NULL;
    if (run_hook(self->on_export, obj) < 0) {
        return -1;
    }
    if (self->fail_silently) {
        return -1;
    }
    if (self->error != NULL && self->error != Py_None) {
        if (PyExceptionInstance_Check(self->error)) {
            PyErr_SetObject((PyObject *)Py_TYPE(self->error), self->error);
        }
        else {
            PyErr_SetNone(self->error);
        }
        return -1;
    }

    Py_ssize_t count = self->ndim > 0 ? self->ndim : 0;
    PyObject *tuples[3] = {self->shape, self->strides, self->suboffsets};
    for (int k = 0; k < 3; ++k) {
        if (tuple_length(tuples[k]) > count) {
            count = tuple_length(tuples[k]);
        }
    }
    Export *ex = (Export *)PyMem_Calloc(1, sizeof(Export));
    if (ex == NULL || (ex->arrays = (Py_ssize_t *)PyMem_Calloc((size_t)(3 * count + 1),
                                                               sizeof(Py_ssize_t))) == NULL) {
        free_export(ex);
        PyErr_NoMemory();
        return -1;
    }
    Py_ssize_t *cursor = ex->arrays;
    Py_ssize_t len = self->size;
    if (fill_array(self->shape, count, &view->shape, &cursor) < 0 ||
        fill_array(self->strides, count, &view->strides, &cursor) < 0 ||
        fill_array(self->suboffsets, count, &view->suboffsets, &cursor) < 0 ||
        copy_format(self->format, ex) < 0 ||
        (self->len != NULL && self->len != Py_None && (len = PyLong_AsSsize_t(self->len)) == -1 &&
         PyErr_Occurred())) {
        free_export(ex);
        return -1;
    }
    view->format = ex->format;
    view->buf = self->null_buf ? NULL : self->memory;
    view->len = len;
    view->readonly = self->readonly;
    view->itemsize = self->itemsize;
    view->ndim = self->ndim;
    view->internal = ex;
    if (!self->leave_obj_null) {
        Py_INCREF(obj);
        view->obj = obj;
    }
    self->live_exports++;
    return 0;
}

static void exporter_releasebuffer(PyObject *obj, Py_buffer *view)
{
    Exporter *self = (Exporter *)obj;
    free_export((Export *)view->internal);
    self->live_exports--;
    (void)run_hook(self->on_release, obj);
}

static PyBufferProcs exporter_as_buffer = {exporter_getbuffer, exporter_releasebuffer};

/* A new block from bytes (copied) or an int (that many zero bytes). */
static int exporter_set_memory(Exporter *self, PyObject *data)
{
    Py_ssize_t size;
    const char *source = NULL;
    if (PyBytes_Check(data)) {
        size = PyBytes_GET_SIZE(data);
        source = PyBytes_AS_STRING(data);
    }
    else {
        size = PyLong_AsSsize_t(data);
        if (size == -1 && PyErr_Occurred()) {
            return -1;
        }
        if (size < 0) {
            PyErr_SetString(PyExc_ValueError, "size must not be negative");
            return -1;
        }
    }
    /* Never empty, so that a zero-size block still has an address. */
    char *memory = (char *)PyMem_Calloc((size_t)size + 1, 1);
    if (memory == NULL) {
        PyErr_NoMemory();
        return -1;
    }
    if (source != NULL) {
        memcpy(memory, source, (size_t)size);
    }
    PyMem_Free(self->memory);
    self->memory = memory;
    self->size = size;
    return 0;
}

static int exporter_init(PyObject *obj, PyObject *args, PyObject *kwds)
{
    Exporter *self = (Exporter *)obj;
    PyObject *data;
    if (!PyArg_UnpackTuple(args, "Exporter", 1, 1, &data)) {
        return -1;
    }
    if (self->live_exports > 0) {
        PyErr_SetString(PyExc_BufferError, "Exporter has live exports");
        return -1;
    }
    if (exporter_set_memory(self, data) < 0) {
        return -1;
    }
    Py_XSETREF(self->shape, Py_BuildValue("(n)", self->size));
    Py_XSETREF(self->strides, Py_BuildValue("(i)", 1));
    Py_XSETREF(self->format, PyUnicode_FromString("B"));
    if (self->shape == NULL || self->strides == NULL || self->format == NULL) {
        return -1;
    }
    Py_CLEAR(self->suboffsets);
    Py_CLEAR(self->len);
    Py_CLEAR(self->error);
    Py_CLEAR(self->on_export);
    Py_CLEAR(self->on_release);
    self->ndim = 1;
    self->itemsize = 1;
    self->readonly = self->null_buf = self->leave_obj_null = self->fail_silently = 0;
    if (kwds != NULL) {
        PyObject *key;
        PyObject *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            if (PyObject_SetAttr(obj, key, value) < 0) {
                return -1;
            }
        }
    }
    return 0;
}

static int exporter_traverse(PyObject *obj, visitproc visit, void *arg)
{
    Exporter *self = (Exporter *)obj;
    Py_VISIT(self->format);
    Py_VISIT(self->shape);
    Py_VISIT(self->strides);
    Py_VISIT(self->suboffsets);
    Py_VISIT(self->len);
    Py_VISIT(self->error);
    Py_VISIT(self->on_export);
    Py_VISIT(self->on_release);
    return 0;
}

static int exporter_clear(PyObject *obj)
{
    Exporter *self = (Exporter *)obj;
    Py_CLEAR(self->format);
    Py_CLEAR(self->shape);
    Py_CLEAR(self->strides);
    Py_CLEAR(self->suboffsets);
    Py_CLEAR(self->len);
    Py_CLEAR(self->error);
    Py_CLEAR(self->on_export);
    Py_CLEAR(self->on_release);
    return 0;
}

static void exporter_dealloc(PyObject *obj)
{
    PyObject_GC_UnTrack(obj);
    exporter_clear(obj);
    PyMem_Free(((Exporter *)obj)->memory);
    Py_TYPE(obj)->tp_free(obj);
}

static PyObject *exporter_raw(PyObject *obj, PyObject *Py_UNUSED(ignored))
{
    Exporter *self = (Exporter *)obj;
    return PyBytes_FromStringAndSize(self->memory, self->size);
}

static PyObject *exporter_set_raw(PyObject *obj, PyObject *data)
{
    Exporter *self = (Exporter *)obj;
    if (!PyBytes_Check(data) || PyBytes_GET_SIZE(data) != self->size) {
        PyErr_SetString(PyExc_ValueError, "set_raw needs bytes of the block's size");
        return NULL;
    }
    memcpy(self->memory, PyBytes_AS_STRING(data), (size_t)self->size);
    Py_RETURN_NONE;
}

static PyObject *exporter_resize(PyObject *obj, PyObject *size)
{
    Exporter *self = (Exporter *)obj;
    if (self->live_exports > 0) {
        PyErr_SetString(PyExc_BufferError, "Exporter has live exports and cannot be resized");
        return NULL;
    }
    if (!PyLong_Check(size)) {
        PyErr_SetString(PyExc_TypeError, "resize needs an int");
        return NULL;
    }
    if (exporter_set_memory(self, size) < 0) {
        return NULL;
    }
    Py_RETURN_NONE;
}

static PyMethodDef exporter_methods[] = {
    {"raw", exporter_raw, METH_NOARGS, "The memory block as bytes."},
    {"set_raw", exporter_set_raw, METH_O, "Overwrites the memory block with bytes of its size."},
    {"resize", exporter_resize, METH_O, "Replaces the block by n zero bytes (not while exported)."},
    {NULL, NULL, 0, NULL},
};

static PyMemberDef exporter_members[] = {
    {"format", T_OBJECT, offsetof(Exporter, format), 0, NULL},
    {"shape", T_OBJECT, offsetof(Exporter, shape), 0, NULL},
    {"strides", T_OBJECT, offsetof(Exporter, strides), 0, NULL},
    {"suboffsets", T_OBJECT, offsetof(Exporter, suboffsets), 0, NULL},
    {"len", T_OBJECT, offsetof(Exporter, len), 0, NULL},
    {"error", T_OBJECT, offsetof(Exporter, error), 0, NULL},
    {"on_export", T_OBJECT, offsetof(Exporter, on_export), 0, NULL},
    {"on_release", T_OBJECT, offsetof(Exporter, on_release), 0, NULL},
    {"ndim", T_INT, offsetof(Exporter, ndim), 0, NULL},
    {"itemsize", T_PYSSIZET, offsetof(Exporter, itemsize), 0, NULL},
    {"readonly", T_BOOL, offsetof(Exporter, readonly), 0, NULL},
    {"null_buf", T_BOOL, offsetof(Exporter, null_buf), 0, NULL},
    {"leave_obj_null", T_BOOL, offsetof(Exporter, leave_obj_null), 0, NULL},
    {"fail_silently", T_BOOL, offsetof(Exporter, fail_silently), 0, NULL},
    {"live_exports", T_PYSSIZET, offsetof(Exporter, live_exports), READONLY, NULL},
    {"last_flags", T_INT, offsetof(Exporter, last_flags), READONLY, NULL},
    {NULL, 0, 0, 0, NULL},
};

static PyTypeObject exporter_type;

static struct PyModuleDef exporter_module = {
    PyModuleDef_HEAD_INIT,
    "_exporter",
    "Test-only buffer exporter.",
    -1,
    NULL,
    NULL,
    NULL,
    NULL,
    NULL,
};

PyMODINIT_FUNC PyInit__exporter(void)
{
    if (!(exporter_type.tp_flags & Py_TPFLAGS_READY)) {
        Py_SET_REFCNT((PyObject *)&exporter_type, 1);
        exporter_type.tp_name = "_exporter.Exporter";
        exporter_type.tp_basicsize = sizeof(Exporter);
        exporter_type.tp_dealloc = exporter_dealloc;
        exporter_type.tp_as_buffer = &exporter_as_buffer;
        exporter_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
        exporter_type.tp_doc = "Exporter(data, **fields): a buffer that reports what it is told.";
        exporter_type.tp_traverse = exporter_traverse;
        exporter_type.tp_clear = exporter_clear;
        exporter_type.tp_methods = exporter_methods;
        exporter_type.tp_members = exporter_members;
        exporter_type.tp_init = exporter_init;
        exporter_type.tp_new = PyType_GenericNew;
        if (PyType_Ready(&exporter_type) < 0) {
            return NULL;
        }
    }
    PyObject *module = PyModule_Create(&exporter_module);
    if (module == NULL) {
        return NULL;
    }
    Py_INCREF(&exporter_type);
    if (PyModule_AddObject(module, "Exporter", (PyObject *)&exporter_type) < 0) {
        Py_DECREF(&exporter_type);
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
