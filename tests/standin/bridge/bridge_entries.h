/* The entries the add-in binds from python312.dll, one row each, in the
   order of its pyapi table. Each row becomes one export of the bridge (see
   bridge_exports.in, the winebuild export list) and, for functions, one
   Windows-callable entry point in
   bridge_python.c:

   BRIDGE_FORWARD(ret, name, params, args)
       the C types are the same on both sides: the entry only turns the
       Windows x64 calling convention into the Linux one.
   BRIDGE_SHIM(name)
       the Windows ABI differs (16-bit wchar_t, 32-bit long, the PyConfig
       layout, Windows varargs): bridge_shim_<name> in bridge_python.c
       converts.
   BRIDGE_DATA(name)
       an object of libpython's, exported at its own address: the add-in
       compares type pointers against these.

   A feature that binds a new entry appends its row here, in the block of
   that feature. */
BRIDGE_FORWARD(int, Py_IsInitialized, (void), ())
BRIDGE_SHIM(Py_InitializeFromConfig)
BRIDGE_SHIM(PyConfig_InitPythonConfig)
BRIDGE_SHIM(PyConfig_Clear)
BRIDGE_SHIM(PyConfig_SetString)
BRIDGE_SHIM(PyWideStringList_Append)
BRIDGE_FORWARD(int, PyStatus_Exception, (PyStatus s), (s))
BRIDGE_FORWARD(void, Py_DecRef, (PyObject *o), (o))
BRIDGE_FORWARD(void, Py_IncRef, (PyObject *o), (o))
BRIDGE_FORWARD(PyGILState_STATE, PyGILState_Ensure, (void), ())
BRIDGE_FORWARD(void, PyGILState_Release, (PyGILState_STATE s), (s))
BRIDGE_FORWARD(PyThreadState *, PyEval_SaveThread, (void), ())
BRIDGE_FORWARD(PyObject *, PyImport_ImportModule, (const char *name), (name))
BRIDGE_FORWARD(PyObject *, PyImport_AddModule, (const char *name), (name))
BRIDGE_FORWARD(PyObject *, PyImport_ReloadModule, (PyObject *m), (m))
BRIDGE_FORWARD(PyObject *, PyObject_Call, (PyObject *c, PyObject *a, PyObject *k), (c, a, k))
BRIDGE_SHIM(PyObject_CallMethod)
BRIDGE_FORWARD(PyObject *, PyObject_GetAttrString, (PyObject *o, const char *n), (o, n))
BRIDGE_FORWARD(int, PyObject_SetAttrString, (PyObject *o, const char *n, PyObject *v), (o, n, v))
BRIDGE_FORWARD(PyObject *, PyObject_Repr, (PyObject *o), (o))
BRIDGE_FORWARD(PyObject *, PyObject_Str, (PyObject *o), (o))
BRIDGE_FORWARD(int, PyRun_SimpleString, (const char *command), (command))
BRIDGE_FORWARD(PyObject *, PySys_GetObject, (const char *name), (name))
BRIDGE_FORWARD(int, PyList_Append, (PyObject *l, PyObject *item), (l, item))
BRIDGE_FORWARD(int, PyList_Insert, (PyObject *l, Py_ssize_t at, PyObject *item), (l, at, item))
BRIDGE_FORWARD(Py_ssize_t, PyList_Size, (PyObject *l), (l))
BRIDGE_FORWARD(PyObject *, PyList_GetItem, (PyObject *l, Py_ssize_t at), (l, at))
BRIDGE_FORWARD(PyObject *, PyTuple_New, (Py_ssize_t n), (n))
BRIDGE_FORWARD(int, PyTuple_SetItem, (PyObject *t, Py_ssize_t at, PyObject *o), (t, at, o))
BRIDGE_FORWARD(PyObject *, PyTuple_GetItem, (PyObject *t, Py_ssize_t at), (t, at))
BRIDGE_FORWARD(Py_ssize_t, PyTuple_Size, (PyObject *t), (t))
BRIDGE_FORWARD(PyObject *, PyDict_GetItem, (PyObject *d, PyObject *key), (d, key))
BRIDGE_FORWARD(int, PyDict_SetItemString, (PyObject *d, const char *key, PyObject *v), (d, key, v))
BRIDGE_FORWARD(PyObject *, PyModule_GetDict, (PyObject *m), (m))
BRIDGE_FORWARD(PyObject *, PyUnicode_FromString, (const char *s), (s))
BRIDGE_SHIM(PyUnicode_FromWideChar)
BRIDGE_FORWARD(const char *, PyUnicode_AsUTF8, (PyObject *u), (u))
BRIDGE_SHIM(PyUnicode_AsWideCharString)
BRIDGE_FORWARD(PyObject *, PyFloat_FromDouble, (double v), (v))
BRIDGE_FORWARD(double, PyFloat_AsDouble, (PyObject *o), (o))
BRIDGE_SHIM(PyLong_FromLong)
BRIDGE_SHIM(PyLong_AsLong)
BRIDGE_SHIM(PyBool_FromLong)
BRIDGE_FORWARD(void, PyMem_Free, (void *p), (p))
BRIDGE_FORWARD(void, PyErr_Print, (void), ())
BRIDGE_FORWARD(PyObject *, PyErr_Occurred, (void), ())
BRIDGE_FORWARD(void, PyErr_Clear, (void), ())
BRIDGE_FORWARD(void, PyErr_Fetch, (PyObject **t, PyObject **v, PyObject **tb), (t, v, tb))
BRIDGE_FORWARD(void, PyErr_NormalizeException, (PyObject **t, PyObject **v, PyObject **tb), (t, v, tb))
BRIDGE_DATA(_Py_NoneStruct)
BRIDGE_DATA(_Py_TrueStruct)
BRIDGE_DATA(_Py_FalseStruct)
BRIDGE_DATA(PyBool_Type)
BRIDGE_DATA(PyFloat_Type)
BRIDGE_DATA(PyLong_Type)
BRIDGE_DATA(PyUnicode_Type)
BRIDGE_DATA(PyTuple_Type)
BRIDGE_DATA(PyList_Type)
/* Arrays and dates. */
BRIDGE_FORWARD(PyObject *, PyList_New, (Py_ssize_t n), (n))
BRIDGE_FORWARD(int, PyList_SetItem, (PyObject *l, Py_ssize_t at, PyObject *item), (l, at, item))
BRIDGE_FORWARD(int, PyType_IsSubtype, (PyTypeObject *a, PyTypeObject *b), (a, b))
BRIDGE_FORWARD(int, PyGC_Disable, (void), ())
BRIDGE_FORWARD(int, PyGC_Enable, (void), ())
/* time-limited requests: Windows' unsigned long is 32 bits, a Linux thread
   ident is a 64-bit pthread_t */
BRIDGE_SHIM(PyThread_get_thread_ident)
BRIDGE_SHIM(PyThreadState_SetAsyncExc)
/* Live reload: the add-in's native functions in the package (their ml_meth is
   a Windows function: the shim gives Python a trampoline), and the answers
   they build. */
BRIDGE_SHIM(PyCFunction_NewEx)
BRIDGE_FORWARD(PyObject *, PyDict_New, (void), ())
/* Cell access: a waiter lets go of the GIL. */
BRIDGE_FORWARD(void, PyEval_RestoreThread, (PyThreadState *s), (s))
/* Worksheet calls: the arguments as an array (size_t is 64 bits on both sides). */
BRIDGE_FORWARD(PyObject *, PyObject_Vectorcall, (PyObject *c, PyObject *const *a, size_t n, PyObject *kw), (c, a, n, kw))
/* Text arguments: bytes in, no wchar_t crosses (int is 32 bits on both sides). */
BRIDGE_FORWARD(PyObject *, PyUnicode_DecodeUTF16, (const char *s, Py_ssize_t n, const char *e, int *b), (s, n, e, b))
/* Typed worksheet functions: Py_buffer has the same layout on both sides
   (pointers and Py_ssize_t 64 bits, int 32). */
BRIDGE_FORWARD(PyObject *, PyByteArray_FromStringAndSize, (const char *s, Py_ssize_t n), (s, n))
BRIDGE_FORWARD(char *, PyByteArray_AsString, (PyObject *o), (o))
BRIDGE_FORWARD(PyObject *, PyMemoryView_FromObject, (PyObject *o), (o))
BRIDGE_FORWARD(int, PyObject_GetBuffer, (PyObject *o, Py_buffer *v, int f), (o, v, f))
BRIDGE_FORWARD(void, PyBuffer_Release, (Py_buffer *v), (v))
BRIDGE_FORWARD(PyObject *, PyLong_FromDouble, (double v), (v))
/* Agent requests read by the add-in: char **, PyObject * and double cross as they are. */
BRIDGE_FORWARD(PyObject *, PyUnicode_DecodeUTF8, (const char *s, Py_ssize_t n, const char *e), (s, n, e))
BRIDGE_FORWARD(PyObject *, PyLong_FromString, (const char *s, char **end, int base), (s, end, base))
BRIDGE_FORWARD(double, PyOS_string_to_double, (const char *s, char **end, PyObject *overflow), (s, end, overflow))
BRIDGE_FORWARD(int, PyDict_SetItem, (PyObject *d, PyObject *k, PyObject *v), (d, k, v))
BRIDGE_FORWARD(PyObject *, PyUnicode_New, (Py_ssize_t n, Py_UCS4 maxchar), (n, maxchar))
