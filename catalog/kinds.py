"""Parameter and result kinds of the catalogue: everything about how one kind
of value crosses the boundary lives in its class, so that the writers of
gen.py name no kind.

A parameter kind knows
  - its C++ types as an argument and as an out-location, and its name in
    wrapper docstrings;
  - the wrapper side: how a script's argument is parsed (PyArg_ParseTuple
    unit and the C++ variable it fills), turned into the host's argument,
    and how an out-location becomes a Python result;
  - the adapter side: what a Python server receives (Py_BuildValue unit),
    and how the value it answers is put into an out-location (its result
    rule);
  - the sample values that the generated tests pass and expect;
  - its Python types, written as annotations for the editor stubs, the API
    reference and the interface classes' docstrings: what a script passes
    and gets back, what a Python server receives and answers.
A result kind (the `-> kind` of a method) knows the same for the value the
host method returns.

In the annotations "{o}" stands for the qualifier of qm.object in the file
they are written into ("" in its own stub, "qm.object." elsewhere).  Three
names there exist in the stubs only: `_Object` (what an object parameter
takes: a wrapper, a Python server instance, None or 0), `_Wrapper` (a
wrapper of any qm.object type) and `_Server` (an instance of a Python
server class).
"""


class CatalogError(Exception):
    pass


# --- Parameter kinds ----------------------------------------------------------------------


class Kind:
    c_in = None        # C++ type of an argument (None: cannot be an argument)
    c_out = None       # C++ type of an out-location (None: cannot be out)
    doc = None         # docstring word
    fmt = None         # PyArg_ParseTuple unit of a wrapper argument
    py_decl = None     # C++ type that the parse unit fills
    unit = "O"         # Py_BuildValue unit of what a Python server receives
    bracket = None     # letter telling an O unit that is not a host object
    rule = None        # result rule when a Python server answers it
    script = True      # scripts can pass or receive it
    holds_memory = False  # the host reads a Python object's memory during the call
    storage_memory = False  # that memory is a storage object's, which Python code can move
    through_buffer = False  # an out-text written into the caller's buffer
    hidden = False     # filled by the host, neither passed nor returned by scripts
    host_object = False  # a host object, seen by scripts through a wrapper
    counts = False     # an integer that can give the length of an array
    counts_elements = False  # an integer list that a 0 element can end
    py_arg = None      # annotation of what a script passes (None: cannot)
    py_result = None   # annotation of what a script gets from an out-parameter
    py_receives = None  # annotation of what a Python server receives
    py_answer = None   # annotation of what a Python server answers for an out-parameter

    def __init__(self, token):
        self.token = token

    def script_result_type(self, p):
        """Annotation of what a script gets back for out-parameter p."""
        return self.py_result

    # The C++ parameter(s) of the host method.
    def c_decl(self, name, out):
        return ["%s %s" % (self.c_out if out else self.c_in, name)]

    def c_arg_names(self, name):
        return [name]

    # --- Wrapper side ---
    def wrapper_parsed(self, name):
        """Declaration of the variable the parse unit fills."""
        init = "nullptr" if self.py_decl.endswith("*") else "0"
        return "%s a_%s = %s;" % (self.py_decl, name, init)

    def wrapper_holder(self, p):
        """A statement made before anything else for out-parameter p, or None."""
        return None

    def wrapper_in(self, p, body, source):
        """Appends conversions to `body`; the host's argument."""
        raise CatalogError("%s: %s cannot be scripted" % (source, p.kind))

    def wrapper_out(self, p, body):
        """Appends the out-location to `body`; the host's argument(s)."""
        body.append("%s r_%s{};" % (self.c_out[:-1], p.cname))
        return ["&r_" + p.cname]

    def wrapper_result(self, p):
        raise CatalogError("%s cannot be a script's result" % p.kind)

    # --- Adapter side ---
    def adapter_in(self, m, p):
        raise CatalogError("%s: a Python server cannot receive %s" % (m.source, p.kind))

    def adapter_out(self, p, value):
        raise CatalogError("a Python server cannot answer %s" % p.kind)

    # --- Samples of the generated tests ---
    sample = None       # (Python argument, recorded text) of a wrapper call
    record_fn = "RecPointer(%s)"  # how the recorder shows argument n
    out_sample = None   # (C++ statement filling out-location n, Python expectation)
    slot_arg = None     # (C++ argument of a slot call, what the Python server shows)
    slot_out_decl = None  # declaration of a slot call's out-location n
    slot_out_show = None  # how the slot test shows out-location n
    slot_out_by_address = False  # the slot call passes &n
    slot_rule = None    # key of the slot test's fixed answer (default: the rule)

    def record(self, name):
        return self.record_fn % name

    def result_doc(self, p):
        return self.doc


class Number(Kind):
    slot_out_by_address = True

    def __init__(self, token, c, doc, fmt, py_decl, unit, rule, sample, record, out_sample,
                 slot_arg, result, adapter_in, put):
        super().__init__(token)
        self.c_in, self.c_out, self.doc = c, c + "*", doc
        self.fmt, self.py_decl, self.unit, self.rule = fmt, py_decl, unit, rule
        self.sample, self.record_fn, self.out_sample = sample, record, out_sample
        self.slot_arg = slot_arg
        self.slot_out_decl = "%s %%s = 0;" % c
        self.slot_out_show = "ShowInt(%s)" if rule == "i" else "ShowFloat(%s)"
        self._result, self._adapter_in, self._put = result, adapter_in, put
        self.counts = rule == "i"
        self.py_arg = self.py_result = self.py_receives = self.py_answer = (
            "int" if rule == "i" else "float")

    def wrapper_in(self, p, body, source):
        return "a_" + p.cname

    def wrapper_result(self, p):
        return self._result % ("r_" + p.cname)

    def adapter_in(self, m, p):
        return self._adapter_in % p.cname

    def adapter_out(self, p, value):
        return "Put(%s, c.%s(%s));" % (p.cname, self._put, value)


class Text(Kind):
    c_in, c_out, doc, fmt, py_decl, unit, rule = ("const char*", "const char**", "string", "z",
                                                  "const char*", "z", "s")
    sample = ("'s'", "s")
    record_fn = "RecText(%s)"
    out_sample = ('*%s = "out";', "'out'")
    slot_arg = ('"s"', "s")
    slot_out_decl = "const char* %s = nullptr;"
    slot_out_show = "ShowText(%s)"
    slot_out_by_address = True
    py_arg = py_result = py_receives = py_answer = "Optional[str]"

    def wrapper_in(self, p, body, source):
        return "a_" + p.cname

    def wrapper_result(self, p):
        return "StringResult(r_%s)" % p.cname

    def adapter_in(self, m, p):
        return p.cname

    def adapter_out(self, p, value):
        return "Put(%s, c.Text(%s));" % (p.cname, value)


MODULE_GUID = "4DB9C543-B192-4EDD-A65D-DD012FC27416"


class Guid(Kind):
    c_in, c_out, doc, fmt, py_decl, bracket, rule = ("const QmGUID*", "const QmGUID**", "string",
                                                     "O", "PyObject*", "G", "g")
    sample = ("'%s'" % MODULE_GUID, MODULE_GUID)
    record_fn = "RecGuid(%s)"
    out_sample = ("*%s = &IID_IQmModule;", "'%s'" % MODULE_GUID)
    slot_arg = ("&IID_IQmModule", MODULE_GUID)
    slot_out_decl = "const QmGUID* %s = nullptr;"
    slot_out_show = "ShowGuid(%s)"
    slot_out_by_address = True
    py_arg, py_result, py_receives, py_answer = "str", "Optional[str]", "str", "str"

    def wrapper_in(self, p, body, source):
        body.append("const QmGUID* g_%s = GuidArg(a_%s);" % (p.cname, p.cname))
        return "g_" + p.cname

    def wrapper_result(self, p):
        return "GuidResult(r_%s)" % p.cname

    def adapter_in(self, m, p):
        return "c.Guid(%s)" % p.cname

    def adapter_out(self, p, value):
        return "Put(%s, c.GuidOf(%s));" % (p.cname, value)


class Object(Kind):
    c_in, c_out, doc, fmt, py_decl, rule = "void*", "void**", "object", "O", "PyObject*", "o"
    host_object = True
    sample = ("OBJ", "obj")
    record_fn = "RecObject(%s)"
    slot_arg = ("host", "obj")
    slot_out_decl = "void* %s = nullptr;"
    slot_out_show = "ShowObject(%s)"
    slot_out_by_address = True
    py_arg, py_receives, py_answer = "{o}_Object", "{o}Unknown", "Union[{o}_Wrapper, {o}_Server]"

    def result_doc(self, p):
        return "%s object" % (p.wraps or "Unknown")

    def script_result_type(self, p):
        return "{o}" + (p.wraps or "Unknown")

    def wrapper_holder(self, p):
        return "PyRef w_%s(CreateByName(\"%s\"));" % (p.cname, p.wraps or "Unknown")

    def wrapper_in(self, p, body, source):
        body.append("ObjectArg o_%s(a_%s);" % (p.cname, p.cname))
        return "o_%s.raw()" % p.cname

    def wrapper_out(self, p, body):
        body.append("OutObject r_%s;" % p.cname)
        return ["r_%s.addr()" % p.cname]

    def wrapper_result(self, p):
        return "ObjectResult(w_%s, r_%s)" % (p.cname, p.cname)

    def adapter_in(self, m, p):
        return "c.Object(%s)" % p.cname

    def adapter_out(self, p, value):
        return "c.ObjectInto(%s, %s);" % (value, p.cname)


class Pointer(Kind):
    c_in, c_out, fmt, py_decl, unit = "void*", "void**", "n", "Py_ssize_t", "n"
    sample = ("4096", "4096")
    out_sample = ("*%s = reinterpret_cast<void*>(12288);", "12288")
    slot_arg = ("reinterpret_cast<void*>(4096)", "4096")

    py_arg = py_result = py_receives = "int"

    def __init__(self, token, doc, rule):
        super().__init__(token)
        self.doc, self.rule = doc, rule
        # An element is handed back as the wrapper it came in (or None).
        self.py_answer = "Optional[{o}_Wrapper]" if rule == "e" else "int"

    def wrapper_in(self, p, body, source):
        return "reinterpret_cast<void*>(a_%s)" % p.cname

    def wrapper_result(self, p):
        return "PointerResult(r_%s)" % p.cname

    def adapter_in(self, m, p):
        return "reinterpret_cast<Py_ssize_t>(%s)" % p.cname


class Doubles(Kind):
    """A fixed number of doubles: a vector, a square matrix or bounds."""
    c_in, c_out, fmt, py_decl, rule = "const double*", "double*", "O", "PyObject*", None

    def __init__(self, token, doc, size, bracket, rule, sample, out_sample, read, result, into,
                 py, slot_arg=None, adapter=None):
        super().__init__(token)
        self.doc, self.size, self.bracket, self.rule = doc, size, bracket, rule
        # A script passes sequences and gets tuples back; a Python server
        # receives tuples (where it can receive the kind at all) and answers
        # sequences.
        self.py_arg, self.py_result, self.py_answer = py
        self.py_receives = self.py_result if adapter is not None else None
        self.sample, self.out_sample = sample, out_sample
        self.record_fn = "RecDoubles(%%s, %d)" % size
        self._read, self._result, self._into, self._adapter = read, result, into, adapter
        self.slot_arg = slot_arg
        self.slot_out_decl = "double %%s[%d] = {};" % size
        self.slot_out_show = "ShowDoubles(%%s, %d)" % size
        self.slot_rule = rule if token == "vec" else token

    def wrapper_in(self, p, body, source):
        body.append(self._read % {"n": p.cname})
        return "v_" + p.cname

    def wrapper_out(self, p, body):
        body.append("double r_%s[%d] = {};" % (p.cname, self.size))
        return ["r_" + p.cname]

    def wrapper_result(self, p):
        return self._result % ("r_" + p.cname)

    def adapter_in(self, m, p):
        if self._adapter is None:
            return super().adapter_in(m, p)
        return self._adapter % p.cname

    def adapter_out(self, p, value):
        return self._into % (value, p.cname)


# The length of a list the host reads up to its first 0 element: `i32[0-ended]`.
ZERO_ENDED = "0-ended"


class Array(Kind):
    """Typed memory: a storage object of the script (of the array's element
    type, any type for untyped data), or an empty storage over the host's
    memory for a Python server.  A script's storage must hold what the host
    reads: a fixed number of elements, a 0 element that ends a list, or at
    least the count the host is given (a larger count is cut to what the
    storage holds)."""
    fmt, py_decl = "O", "PyObject*"
    holds_memory = True
    storage_memory = True
    slot_arg = ("memory", "storage")

    def __init__(self, token, c, doc, bracket, element, width, letter):
        super().__init__(token)
        self.c_in, self.doc, self.bracket = c, doc, bracket
        self.element, self.width = element, width
        self.counts_elements = token in ("i32[]", "u32[]")
        self.py_arg, self.py_receives = "Optional[{o}storage]", "{o}storage"
        # A storage of the element type, of 16 elements (all 0 when made).
        self.sample = ("qm.object.storage(%r, 16)" % letter, "array")

    def record(self, name):
        return "RecArray(%s)" % name

    def wrapper_in(self, p, body, source):
        n = p.cname
        if p.length is None:
            memory = "ArrayArg(a_%s, %s)" % (n, self.element)
        elif p.length == ZERO_ENDED:
            memory = "EndedArrayArg(a_%s, %s)" % (n, self.element)
        elif isinstance(p.length, int):
            memory = "FixedArrayArg(a_%s, %s, %d)" % (n, self.element, p.length)
        else:
            body.append("uint64_t e_%s = 0;" % n)
            memory = "ArrayArg(a_%s, %s, &e_%s)" % (n, self.element, n)
        body.append("auto* d_%s = static_cast<%s>(%s);" % (n, self.c_in, memory))
        if p.count is not None:
            count = "a_" + p.count.cname
            body.append("%s = BoundedCount(%s, e_%s);" % (count, count, n))
        return "d_" + n

    def adapter_in(self, m, p):
        if p.length is None or p.length == ZERO_ENDED:
            count = "0"
        elif isinstance(p.length, int):
            count = str(p.length)
        else:
            count = "static_cast<int64_t>(%s)" % p.count.cname
        return "c.Storage(%s, %s, %s, %d)" % (p.cname, self.element, count, self.width)


class Table(Kind):
    """A table a script gives as a Python value: hints or blocks."""
    fmt, py_decl = "O", "PyObject*"
    holds_memory = True

    def __init__(self, token, c, bracket, holder, sample, record, py, slot_arg=None,
                 adapter=None):
        super().__init__(token)
        self.c_in, self.doc, self.bracket = c, token, bracket
        self.py_arg, self.py_receives = py  # what a script passes, what a server receives
        self._holder, self.sample, self.record_fn = holder, sample, record
        self.slot_arg, self._adapter = slot_arg, adapter

    def wrapper_in(self, p, body, source):
        body.append("%s h_%s(a_%s);" % (self._holder, p.cname, p.cname))
        return "h_%s.table()" % p.cname

    def adapter_in(self, m, p):
        if self._adapter is None:
            return super().adapter_in(m, p)
        return self._adapter % p.cname


class StrBuf(Kind):
    """Text written into the caller's buffer of the given length."""
    c_out, doc, rule = "char*", "string", "sbuf"
    through_buffer = True
    py_result = py_answer = "str"
    slot_out_decl = "char %s[64] = {};"
    slot_out_show = "ShowText(%s)"

    def c_decl(self, name, out):
        return ["char* %s" % name, "uint32_t %sLength" % name]

    def c_arg_names(self, name):
        return [name, name + "Length"]

    def wrapper_out(self, p, body):
        return ["buffer", "length"]

    def wrapper_result(self, p):
        return "s_%s.release()" % p.cname

    def adapter_out(self, p, value):
        return "c.TextInto(%s, %sLength, %s);" % (p.cname, p.cname, value)


class PathBuf(Kind):
    """A caller's buffer of kQmMaxPath bytes that the method fills."""
    c_in = "char*"
    hidden = True

    def wrapper_in(self, p, body, source):
        body.append("char b_%s[kQmMaxPath] = {};" % p.cname)
        return "b_" + p.cname


class TagEntry(Kind):
    c_in = "QmTagInfo*"
    script = False


# Annotations of the kinds of doubles: (what a script passes, what it gets
# back and a Python server receives, what a Python server answers).
_VECTOR = ("Sequence[float]", "Tuple[float, float, float]", "Sequence[float]")
_MATRIX = ("Sequence[Sequence[float]]", "Tuple[Tuple[float, ...], ...]",
           "Sequence[Sequence[float]]")
_BOX = ("Sequence[Sequence[float]]", "Tuple[Tuple[float, float, float], Tuple[float, float, float]]",
        "Sequence[Sequence[float]]")


def _kinds():
    k = [
        Number("i32", "int32_t", "integer", "i", "int", "i", "i", ("-7", "-7"), "RecInt(%s)",
               ("*%s = -11;", "-11"), ("-7", "-7"), "IntResult(%s)", "static_cast<int>(%s)",
               "Int"),
        Number("u32", "uint32_t", "integer", "I", "unsigned int", "I", "i", ("7", "7"),
               "RecUnsigned(%s)", ("*%s = 11;", "11"), ("7u", "7"),
               "IntResult(static_cast<long>(%s))", "static_cast<unsigned int>(%s)", "Int"),
        Number("f64", "double", "float", "d", "double", "d", "f", ("1.5", "1.5"), "RecFloat(%s)",
               ("*%s = 0.5;", "0.5"), ("1.5", "1.5"), "FloatResult(%s)", "%s", "Float"),
        Number("f32", "float", "float", "f", "float", "f", "f", ("0.25", "0.25"), "RecFloat(%s)",
               ("*%s = 0.75f;", "0.75"), ("0.25f", "0.25"), "FloatResult(%s)",
               "static_cast<double>(%s)", "Float"),
        Text("str"),
        Guid("guid"),
        Object("obj"),
        Pointer("ptr", "pointer", "p"),
        Pointer("id", "id", "e"),
        Doubles("vec", "vector", 3, "V", "v", ("(1.0, 2.0, 3.0)", "[1,2,3]"),
                ("FillDoubles(%s, 3, 4);", "(4.0, 5.0, 6.0)"),
                "double v_%(n)s[3]; ReadVector(a_%(n)s, v_%(n)s, 3);", "VectorResult(%s, 3)",
                "c.VectorInto(%s, %s, 3);", _VECTOR, ("kVector", "(1.0, 2.0, 3.0)"), "c.Vector(%s)"),
        Doubles("mat3", "matrix", 9, "M", "m", ("((1, 2, 3), (4, 5, 6), (7, 8, 9))",
                                                "[1,2,3,4,5,6,7,8,9]"),
                ("FillDoubles(%s, 9, 1);", "((1.0, 2.0, 3.0), (4.0, 5.0, 6.0), (7.0, 8.0, 9.0))"),
                "double v_%(n)s[9]; ReadMatrix(a_%(n)s, v_%(n)s, 3);", "MatrixResult(%s, 3)",
                "c.MatrixInto(%s, %s, 3);", _MATRIX),
        Doubles("mat4", "matrix", 16, "M", "m",
                ("((1, 2, 3, 4), (5, 6, 7, 8), (9, 10, 11, 12), (13, 14, 15, 16))",
                 "[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16]"),
                ("FillDoubles(%s, 16, 1);", "((1.0, 2.0, 3.0, 4.0), (5.0, 6.0, 7.0, 8.0), "
                 "(9.0, 10.0, 11.0, 12.0), (13.0, 14.0, 15.0, 16.0))"),
                "double v_%(n)s[16]; ReadMatrix(a_%(n)s, v_%(n)s, 4);", "MatrixResult(%s, 4)",
                "c.MatrixInto(%s, %s, 4);", _MATRIX),
        Doubles("box", "bounds", 6, "B", "m", ("((1, 2, 3), (4, 5, 6))", "[1,2,3,4,5,6]"),
                ("FillDoubles(%s, 6, 1);", "((1.0, 2.0, 3.0), (4.0, 5.0, 6.0))"),
                "double v_%(n)s[6]; ReadBounds(a_%(n)s, v_%(n)s);", "BoundsResult(%s)",
                "c.BoxInto(%s, %s);", _BOX, ("kBox", "((1.0, 2.0, 3.0), (4.0, 5.0, 6.0))"),
                "c.Box(%s)"),
        Array("f32[]", "float*", "float[]", "Sf", "kStorageFloat", 4, "f"),
        Array("f64[]", "double*", "double[]", "Sd", "kStorageDouble", 8, "d"),
        Array("i32[]", "int32_t*", "int[]", "Si", "kStorageInt", 4, "i"),
        Array("u32[]", "uint32_t*", "unsigned[]", "Su", "kStorageUnsigned", 4, "u"),
        Array("u8[]", "uint8_t*", "byte[]", "Sb", "kStorageByte", 1, "b"),
        Array("id[]", "void**", "id[]", "Sp", "kStoragePointer", 8, "p"),
        Array("data[]", "void*", "data[]", "S", "kStorageUnset", 1, "b"),
        Table("hints", "const QmTextValueHint*", "L", "HintTable",
              ("[(1, 'one'), (2, 'two')]", "1:one;2:two"), "RecHints(%s)",
              ("Sequence[Tuple[int, str]]", "List[Tuple[int, str]]"),
              ("kHints", "[(1, 'one'), (2, 'two')]"), "c.Hints(%s)"),
        Table("blocks", "const QmBlockEntry*", "K", "BlockTable", ("{5: 'five'}", "5:five"),
              "RecBlocks(%s)", ("Mapping[int, str]", None)),
        StrBuf("strbuf"),
        PathBuf("pathbuf"),
        TagEntry("tagentry"),
    ]
    return {kind.token: kind for kind in k}


KINDS = _kinds()


# --- Result kinds ----------------------------------------------------------------------------


class Return:
    def __init__(self, token, ctype, fail, doc, rule, wrapper=None, test=(None, None),
                 show=None, py=(None, None)):
        self.token = token
        self.ctype = ctype      # C++ type the host method returns
        self.fail = fail        # what a thunk answers on failure
        self.doc = doc          # docstring word of the result (None: no result)
        self.rule = rule        # a Python server's result rule (None: not answered by Python)
        self.wrapper = wrapper  # the script's result from `value` (None: no result)
        self.test = test        # (C++ value the recorder returns, Python expectation)
        self.show = show        # how the slot test shows the returned value
        # Annotations (see the Kind class) of what a script gets back and of
        # what a Python server answers (None: nothing).
        self.py_result, self.py_answer = py

    def wrapper_call(self, call):
        """The statements of a wrapper making host call `call`, and the
        script's result of it (None: none)."""
        if self.token is None:  # a result code
            return ["CheckResult(%s);" % call], None
        if self.token == "truth":
            return ["QmResult code = %s;" % call, "CheckResult(code);"], self.wrapper
        if self.token == "void":
            return [call + ";"], None
        return ["auto value = %s;" % call], self.wrapper


_POINTER = "reinterpret_cast<void*>(8192)"
_ELEMENT = ("int", "Optional[{o}_Wrapper]")

RETURNS = {r.token: r for r in (
    Return(None, "QmResult", "QMe_NOTIMPL", None, None, test=("QMe_OK", None)),
    Return("truth", "QmResult", "QMe_NOTIMPL", "boolean", "b", "BoolResult(code)",
           ("QMe_FALSE", "False"), py=("bool", "bool")),
    Return("void", "void", None, None, None),
    Return("i32", "int32_t", "0", "integer", "i", "IntResult(value)", ("-3", "-3"), "ShowInt",
           ("int", "int")),
    Return("u32", "uint32_t", "0", "integer", "i", "IntResult(static_cast<long>(value))",
           ("3", "3"), "ShowInt", ("int", "int")),
    Return("f64", "double", "0.0", "float", "f", "FloatResult(value)", ("1.25", "1.25"),
           "ShowFloat", ("float", "float")),
    Return("f32", "float", "0.0f", "float", "f", "FloatResult(value)", ("1.25f", "1.25"),
           "ShowFloat", ("float", "float")),
    Return("str", "const char*", "nullptr", "string", "s", "StringResult(value)",
           ('"ret"', "'ret'"), "ShowText", ("Optional[str]", "Optional[str]")),
    Return("guid", "const QmGUID*", "nullptr", "string", "g", "GuidResult(value)",
           ("&IID_IQmModule", "'%s'" % MODULE_GUID), "ShowGuid", ("Optional[str]", "str")),
    Return("obj", "void*", "nullptr", "object", "o", "DirectObjectResult(value)",
           ("RecordedObject()", "TYPE('Unknown')"),
           py=("{o}Unknown", "Union[{o}_Wrapper, {o}_Server]")),
    Return("ptr", "void*", "nullptr", "pointer", "p", "PointerResult(value)", (_POINTER, "8192"),
           "ShowPointer", ("int", "int")),
    Return("id", "void*", "nullptr", "id", "e", "PointerResult(value)", (_POINTER, "8192"),
           "ShowPointer", _ELEMENT),
    Return("handle", "void*", "nullptr", "id", "e", "PointerResult(value)", (_POINTER, "8192"),
           "ShowPointer", _ELEMENT),
    Return("data", "void*", "nullptr", "pointer", "sp", "PointerResult(value)",
           (_POINTER, "8192"), "ShowMemory", ("int", "{o}storage")),
    Return("hints", "const QmTextValueHint*", "nullptr", "hints", None, "HintsResult(value)",
           ("kRecordedHints", "[(1, 'a'), (2, 'b')]"), py=("List[Tuple[int, str]]", None)),
)}


# --- Result rules ------------------------------------------------------------------------------
#
# What a Python server's answer must be for a result of each rule: how the
# adapter converts it into a returned value, and the fixed answer of the
# generated slot test with what the host then shows of it.

RULE_RETURN = {
    "i": "static_cast<%(type)s>(c.Int(%(value)s))",
    "f": "static_cast<%(type)s>(c.Float(%(value)s))",
    "b": "c.Truth(%(value)s)", "s": "c.Text(%(value)s)", "g": "c.GuidOf(%(value)s)",
    "e": "c.Element(%(value)s)", "p": "c.Pointer(%(value)s)", "sp": "c.StorageMemory(%(value)s)",
}

SLOT_ANSWERS = {  # rule key -> (Python value, what the host shows of it)
    "b": ("True", "0x00000000"), "i": ("42", "42"), "f": ("2.5", "2.5"), "s": ("'text'", "text"),
    "sbuf": ("'buf'", "buf"), "g": ("'%s'" % MODULE_GUID, MODULE_GUID),
    "o": ("'self'", "obj"), "e": ("None", "null"), "p": ("8192", "8192"), "sp": ("STORE", "mem"),
    "v": ("(1, 2, 3)", "[1,2,3]"), "box": ("((1, 2, 3), (4, 5, 6))", "[1,2,3,4,5,6]"),
    "mat3": ("((1, 2, 3), (4, 5, 6), (7, 8, 9))", "[1,2,3,4,5,6,7,8,9]"),
    "mat4": ("((1, 2, 3, 4), (5, 6, 7, 8), (9, 10, 11, 12), (13, 14, 15, 16))",
             "[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16]"),
}
