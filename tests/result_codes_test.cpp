// Result codes on the Python side: the registry in qm.result, the
// exception raised for a code, and the code read back from an exception.
#include "interp/python.h"

#include <gtest/gtest.h>

#include <string>

#include "interp/result.h"
#include "scripting/qm_module.h"

namespace {

class ResultCodes : public ::testing::Test {
 protected:
  void SetUp() override {
    Py_NoSiteFlag = 1;
    Py_Initialize();
    CreateQmModule();
    main_ = PyModule_GetDict(PyImport_AddModule("__main__"));
    ASSERT_EQ(PyRun_SimpleString("import qm"), 0);
  }
  void TearDown() override { Py_Finalize(); }

  // Evaluates an expression in __main__; null with the exception pending.
  PyObject* Eval(const char* expr) {
    return PyRun_String(expr, Py_eval_input, main_, main_);
  }

  // Runs a statement that must raise; returns the code of its exception
  // and the exception's class name and text.
  QmResult CodeOf(const char* statement, std::string* typeName = nullptr,
                  std::string* text = nullptr) {
    PyObject* r = PyRun_String(statement, Py_file_input, main_, main_);
    EXPECT_EQ(r, nullptr) << statement << " raised nothing";
    Py_XDECREF(r);
    PyErrorState error;
    error.Fetch();
    if (!error.type) return 0xFFFFFFFFU;
    if (typeName) *typeName = reinterpret_cast<PyTypeObject*>(error.type.get())->tp_name;
    if (text) {
      PyRef s(PyObject_Str(error.value.get()));
      *text = PyString_AsString(s.get());
    }
    return ResultFromException(error.type.get(), error.value.get());
  }

  PyObject* main_ = nullptr;
};

TEST_F(ResultCodes, EveryNameIsPublishedAsASignedLong) {
  PyRef n(Eval("len([k for k in dir(qm.result) if not k.startswith('__')])"));
  ASSERT_TRUE(n);
  EXPECT_EQ(PyInt_AsLong(n.get()), 121);
  PyRef notfound(Eval("qm.result.NOTFOUND"));
  ASSERT_TRUE(notfound && PyLong_Check(notfound.get()));
  EXPECT_EQ(PyLong_AsLong(notfound.get()), -2147483625L);
  PyRef failed(Eval("qm.result.FAILED == -2147483648 and qm.result.OK == qm.result.TRUE == 0"));
  EXPECT_EQ(failed.get(), Py_True);
  EXPECT_STREQ(NameOfResult(0), "MSGDIALOG_OK");
  EXPECT_STREQ(NameOfResult(1), "INFO");
  EXPECT_STREQ(NameOfResult(0x06500001), "DEFORM_IDENTICAL");
  EXPECT_STREQ(NameOfResult(0x80000007), "RENDER_ABORTING");
  EXPECT_EQ(ResultFromName("SHORTBUFFER"), 0x8000001EU);
  EXPECT_EQ(ResultFromName("shortbuffer"), QMe_FAILED);
  PyRef ifc(Eval("[k for k in dir(qm.ifc) if not k.startswith('__')] == []"));
  EXPECT_EQ(ifc.get(), Py_True);
}

TEST_F(ResultCodes, ThrowRaisesTheExceptionOfEachCode) {
  struct Case {
    const char* statement;
    const char* type;
    const char* text;
    QmResult back;
  } cases[] = {
      {"qm.throw(0x80000001)", "exceptions.NotImplementedError", "not implemented", QMe_NOTIMPL},
      {"qm.throw(0x80000002)", "exceptions.MemoryError", "out of memory", QMe_OUTOFMEMORY},
      {"qm.throw(0x80000003)", "exceptions.TypeError", "invalid argument", QMe_INVALIDARG},
      {"qm.throw(0x80000004)", "exceptions.TypeError", "no interface", QMe_NOINTERFACE},
      {"qm.throw(0x80000015)", "exceptions.IndexError", "out of bounds", QMe_OUTOFBOUNDS},
      {"qm.throw(0x80000017)", "exceptions.LookupError", "not found", QMe_NOTFOUND},
      {"qm.throw(qm.result.NOTFOUND)", "exceptions.LookupError", "not found", QMe_NOTFOUND},
      {"qm.throw(0x8000001E)", "exceptions.RuntimeError", "bad result: SHORTBUFFER",
       QMe_SHORTBUFFER},
      {"qm.throw(0x80000007)", "exceptions.RuntimeError", "bad result: RENDER_ABORTING",
       QMe_ABORT},
      {"qm.throw(0x80001234)", "exceptions.RuntimeError", "bad result: <unknown code>",
       QMe_FAILED},
      {"qm.notimpl()", "exceptions.NotImplementedError", "not implemented", QMe_NOTIMPL},
  };
  for (const auto& c : cases) {
    std::string type, text;
    EXPECT_EQ(CodeOf(c.statement, &type, &text), c.back) << c.statement;
    EXPECT_EQ(type, c.type) << c.statement;
    EXPECT_EQ(text, c.text) << c.statement;
  }
}

TEST_F(ResultCodes, PythonExceptionsMapBackToCodes) {
  EXPECT_EQ(CodeOf("raise KeyError('k')"), QMe_NOTFOUND);  // a subclass of LookupError
  EXPECT_EQ(CodeOf("raise IndexError"), QMe_OUTOFBOUNDS);  // before LookupError
  EXPECT_EQ(CodeOf("raise TypeError('no interface')"), QMe_NOINTERFACE);
  EXPECT_EQ(CodeOf("raise TypeError('invalid argument')"), QMe_INVALIDARG);
  EXPECT_EQ(CodeOf("raise TypeError('something else')"), QMe_FAILED);
  EXPECT_EQ(CodeOf("raise RuntimeError('bad result: SHORTBUFFER')"), QMe_SHORTBUFFER);
  EXPECT_EQ(CodeOf("raise RuntimeError('bad result:SHORTBUFFER')"), QMe_FAILED);
  EXPECT_EQ(CodeOf("raise RuntimeError('bad result: shortbuffer')"), QMe_FAILED);
  EXPECT_EQ(CodeOf("raise RuntimeError('bad result: 0x8000001E')"), QMe_FAILED);
  EXPECT_EQ(CodeOf("raise ValueError('x')"), QMe_FAILED);
  EXPECT_EQ(CodeOf("class E(NotImplementedError): pass\nraise E()"), QMe_NOTIMPL);
  EXPECT_EQ(CodeOf("raise MemoryError"), QMe_OUTOFMEMORY);
}

TEST_F(ResultCodes, SuccessCodesRaiseNothingAndTheFirstCauseWins) {
  EXPECT_EQ(RaiseResult(QMe_OK), nullptr);
  EXPECT_EQ(RaiseResult(QMe_WARNING), nullptr);
  EXPECT_FALSE(PyErr_Occurred());
  // qm.throw with a success code returns null without an exception: Python
  // reports that as its own error.
  std::string type;
  CodeOf("qm.throw(0)", &type);
  EXPECT_EQ(type, "exceptions.SystemError");

  PyErr_SetString(PyExc_KeyError, "first");
  EXPECT_EQ(RaiseResult(QMe_NOINTERFACE), nullptr);
  PyErrorState error;
  error.Fetch();
  EXPECT_TRUE(PyErr_GivenExceptionMatches(error.type.get(), PyExc_KeyError));

  // A bad argument list keeps Python's own error.
  std::string text;
  CodeOf("qm.throw('x')", &type, &text);
  EXPECT_EQ(type, "exceptions.TypeError");
}

}  // namespace
