// qm.Storage: typed buffers of their own and over a host's block, driven
// from Python in this process.
#include "interp/python.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "interp/result.h"
#include "scripting/storage.h"

namespace {

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Py_NoSiteFlag = 1;
    Py_Initialize();
    ASSERT_EQ(PyType_Ready(&QmStorageType), 0);
    main_ = PyModule_GetDict(PyImport_AddModule("__main__"));
    ASSERT_EQ(PyDict_SetItemString(main_, "Storage", reinterpret_cast<PyObject*>(&QmStorageType)), 0);
    ASSERT_EQ(PyRun_SimpleString("import sys"), 0);
  }
  void TearDown() override { Py_Finalize(); }

  // Runs statements that must succeed.
  void Run(const char* code) {
    PyRef r(PyRun_String(code, Py_file_input, main_, main_));
    if (!r) PyErr_Print();
    EXPECT_TRUE(r) << code;
  }

  // True when the expression evaluates to something true.
  bool Holds(const char* expr) {
    PyRef r(PyRun_String(expr, Py_eval_input, main_, main_));
    if (!r) PyErr_Print();
    return r && PyObject_IsTrue(r.get()) == 1;
  }

  // Runs statements that must fail: "Type: text" of the exception.
  std::string Raises(const char* code, QmResult* result = nullptr) {
    PyRef r(PyRun_String(code, Py_file_input, main_, main_));
    return r ? "nothing raised" : Pending(result);
  }

  // The pending exception, cleared, as "Type: text".
  std::string Pending(QmResult* result = nullptr) {
    PyErrorState error;
    error.Fetch();
    if (!error.type) return "no exception";
    if (result) *result = ResultFromException(error.type.get(), error.value.get());
    std::string type = reinterpret_cast<PyTypeObject*>(error.type.get())->tp_name;
    PyRef text(PyObject_Str(error.value.get()));
    return type.substr(type.find('.') + 1) + ": " + PyString_AsString(text.get());
  }

  QmStorageObject* Get(const char* name) {
    return reinterpret_cast<QmStorageObject*>(PyDict_GetItemString(main_, name));
  }

  // Puts a buffer over `block` into __main__ as `name`.
  void Wrap(const char* name, void* block, uint64_t size, uint32_t type, bool writable) {
    PyRef o(NewStorageOver(block, size, type, writable));
    ASSERT_TRUE(o);
    ASSERT_EQ(PyDict_SetItemString(main_, name, o.get()), 0);
  }

  PyObject* main_ = nullptr;
};

TEST_F(StorageTest, TypeIsDescribedAndANewObjectHasNoType) {
  EXPECT_STREQ(QmStorageType.tp_name, "qm.Storage");
  EXPECT_EQ(QmStorageType.tp_flags & ~Py_TPFLAGS_READY, 0x205EBL);
  EXPECT_TRUE(Holds("Storage.__doc__ == 'Storage objects' and Storage.size.__doc__ == "
                    "'Return the size of the buffer'"));
  Run("s = Storage()");
  QmStorageObject* s = Get("s");
  EXPECT_EQ(s->data, nullptr);
  EXPECT_EQ(s->size + s->offset + s->capacity + s->elementType, 0U);
  EXPECT_EQ(s->owned, 1);
  EXPECT_EQ(s->writable, 1);
  EXPECT_EQ(Raises("s.setSize(3)"), "RuntimeError: Storage data type not set");
  EXPECT_EQ(Raises("s.get()"), "RuntimeError: Unknown storage type");
  EXPECT_EQ(Raises("s.string()"), "RuntimeError: Not a byte buffer");
  EXPECT_EQ(Raises("s[0]"), "IndexError: Out of bounds");
  EXPECT_TRUE(Holds("len(s) == 0 and s.size() == 0 and s.offset() == 0 and list(s) == []"));
  EXPECT_EQ(Raises("Storage('x')"), "RuntimeError: Unknown storage type");
  EXPECT_EQ(Raises("Storage('')"), "RuntimeError: Unknown storage type");
  EXPECT_EQ(Raises("Storage('f', -1)"), "RuntimeError: Size must be larger than zero");
  EXPECT_EQ(Raises("Storage('f').set(())"), "RuntimeError: Size must be larger than zero");
  EXPECT_EQ(Raises("Storage('f', 1).setSize(0)"), "RuntimeError: Size must be larger than zero");
  EXPECT_EQ(Raises("s.setSize('a')").substr(0, 10), "TypeError:");
  EXPECT_TRUE(IsStorage(reinterpret_cast<PyObject*>(s)));
  Run("class Sub(Storage): pass\nsub = Sub('d', 2)");
  EXPECT_FALSE(IsStorage(reinterpret_cast<PyObject*>(Get("sub"))));
  EXPECT_EQ(StorageData(reinterpret_cast<PyObject*>(Get("sub"))), Get("sub")->data);
  EXPECT_EQ(StorageData(Py_None), nullptr);
}

TEST_F(StorageTest, OwnedBufferSetsGetsAndOffsets) {
  Run("s = Storage('float', 3)\nr = s.set((1, 2, 3))");
  EXPECT_EQ(Get("s")->capacity, 12U);
  EXPECT_TRUE(Holds("r is None and s.get() == (1.0, 2.0, 3.0) and s.get(2) == (1.0, 2.0)"));
  EXPECT_TRUE(Holds("s.get(9) == s.get() and len(s) == 3 and s[1] == 2.0"));
  EXPECT_TRUE(Holds("s.offset(2) is None and s.offset() == 2 and s.get() == (3.0,) and s[0] == 3.0"));
  EXPECT_EQ(Raises("s[1]"), "IndexError: Out of bounds");
  EXPECT_EQ(Raises("s.offset(4)"), "RuntimeError: Can't offset past end of buffer");
  EXPECT_TRUE(Holds("s.offset() == 2 and s.offset(3) is None and s.get() == ()"));
  Run("s.offset(1)\ns.set((7, 8, 9))\ns[0] = 5");
  EXPECT_TRUE(Holds("s.size() == 4 and s.get() == (5.0, 8.0, 9.0)"));
  // The block grew: what lies before the offset starts out zeroed.
  EXPECT_TRUE(Holds("s.offset(0) is None and s.get() == (0.0, 5.0, 8.0, 9.0)"));
  // A block large enough stays where it is; shrinking pulls the offset in.
  void* block = Get("s")->data;
  Run("s.offset(4)\ns.setSize(2)");
  EXPECT_TRUE(Holds("s.offset() == 2 and s.size() == 2"));
  EXPECT_EQ(Get("s")->data, block);
  EXPECT_EQ(Get("s")->capacity, 16U);
  EXPECT_EQ(Raises("del s[0]").substr(0, 10), "TypeError:");
  EXPECT_EQ(Raises("s[0:1]").substr(0, 10), "TypeError:");
  EXPECT_EQ(Raises("s * 2").substr(0, 10), "TypeError:");
}

TEST_F(StorageTest, InPlaceConcatAppendsAndReturnsTheObject) {
  Run("s = Storage('int')\ns.set((1, 2, 3))\nbefore = sys.getrefcount(s)\ns += (4,)\n"
      "s += []\nafter = sys.getrefcount(s)");
  EXPECT_TRUE(Holds("s.get() == (1, 2, 3, 4) and before == after"));
  EXPECT_EQ(Get("s")->capacity, 16U);
  EXPECT_EQ(Raises("s += 5"), "RuntimeError: Expected a sequence");
  EXPECT_EQ(Raises("s.set(5)"), "RuntimeError: Expected a sequence");
  EXPECT_EQ(Raises("t = Storage()\nt += (1,)"), "RuntimeError: Storage data type not set");
  EXPECT_EQ(Raises("s + (1,)").substr(0, 10), "TypeError:");

  PyObject* s = reinterpret_cast<PyObject*>(Get("s"));
  Py_ssize_t count = Py_REFCNT(s);
  PyRef more(Py_BuildValue("(ii)", 5, 6));
  PyRef result(PySequence_InPlaceConcat(s, more.get()));
  EXPECT_EQ(result.get(), s);
  EXPECT_EQ(Py_REFCNT(s), count + 1);
  result.reset();
  EXPECT_EQ(Py_REFCNT(s), count);
  EXPECT_TRUE(Holds("s.get() == (1, 2, 3, 4, 5, 6)"));
}

TEST_F(StorageTest, StringReadsBytesUpToTheFirstZero) {
  Run("b = Storage('byte')\nb.set((97, 98, 99, 0))\nb.offset(2)");
  EXPECT_TRUE(Holds("b.string() == 'abc'"));  // the offset does not count
  Run("b.offset(0)\nb.set((104, 105, 0, 120))");
  EXPECT_TRUE(Holds("b.string() == 'hi' and Storage('b').string() == ''"));
  EXPECT_EQ(Raises("c = Storage('b')\nc.set((97, 98))\nc.string()"),
            "RuntimeError: String buffer is unterminated");
  EXPECT_EQ(Raises("Storage('i', 1).string()"), "RuntimeError: Not a byte buffer");
}

TEST_F(StorageTest, EveryElementTypeRoundTrips) {
  Run("f = Storage('f')\nf.set((1.5, 0.1, 1e40))\nd = Storage('d')\nd.set((0.1, -1e300))\n"
      "i = Storage('i')\ni.set((-2, 2147483647, 4294967295, 2 ** 31))\n"
      "b = Storage('b')\nb.set((255, 256, 257, -1))\nu = Storage('u')\n"
      "u.set((1, 0xFFFFFFFF, 0x1FFFFFFFE))\np = Storage('p')\np.set((0, 0x1234, 2 ** 64 - 1))");
  EXPECT_TRUE(Holds("f.get() == (1.5, 0.10000000149011612, float('inf'))"));
  EXPECT_TRUE(Holds("d.get() == (0.1, -1e300)"));
  EXPECT_TRUE(Holds("i.get() == (-2, 2147483647, -1, -2147483648)"));
  EXPECT_TRUE(Holds("b.get() == (255, 0, 1, 255)"));
  EXPECT_TRUE(Holds("u.get() == (1, -1, -2) and type(u[1]) is long"));
  EXPECT_TRUE(Holds("p.get() == (0, 0x1234, 2 ** 64 - 1)"));
  // What lands in the block is the machine type itself.
  const auto* fb = static_cast<const float*>(Get("f")->data);
  EXPECT_EQ(fb[1], 0.1f);
  const auto* ub = static_cast<const uint32_t*>(Get("u")->data);
  EXPECT_EQ(ub[2], 0xFFFFFFFEU);
  const auto* pb = static_cast<void* const*>(Get("p")->data);
  EXPECT_EQ(pb[1], reinterpret_cast<void*>(0x1234));
  Run("b[0] = 0x1FF + 2\ni[1] = -7\nd[0] = 2\nf[2] = -1e40");
  EXPECT_TRUE(Holds("b[0] == 1 and i[1] == -7 and d[0] == 2.0 and f[2] == float('-inf')"));
  EXPECT_EQ(Get("b")->capacity, 4U);
  EXPECT_EQ(Get("d")->capacity, 16U);
}

TEST_F(StorageTest, FailedConversionKeepsItsErrorAndTheElementsBefore) {
  Run("s = Storage('f', 2)\ns.set((7, 7))");
  EXPECT_EQ(Raises("s.set((1, 2, 'x', 4))"), "TypeError: a float is required");
  EXPECT_TRUE(Holds("s.size() == 4 and s.get(2) == (1.0, 2.0)"));
  EXPECT_EQ(Raises("s[0] = None"), "TypeError: a float is required");
  EXPECT_EQ(Raises("t = Storage('i', 1)\nt.set((1,))\nt += (3, 'y')"),
            "TypeError: an integer is required");
  EXPECT_TRUE(Holds("s[0] == 1.0 and t.get(2) == (1, 3) and t.size() == 3"));
  // An address is an integer; anything else is a plain TypeError, not an
  // internal error of the conversion.
  EXPECT_EQ(Raises("p = Storage('p', 2)\np.set((5, 6))\np[1] = 0.5"),
            "TypeError: an integer is required for an address, not float");
  EXPECT_EQ(Raises("p.set((7, None))"),
            "TypeError: an integer is required for an address, not NoneType");
  EXPECT_TRUE(Holds("p.get() == (7, 6)"));
  // A sequence whose length changes between looks fails with FAILED.
  QmResult code = 0;
  Raises("class Shifty(object):\n"
         "  n = 0\n"
         "  def __len__(self):\n"
         "    Shifty.n += 1\n"
         "    return Shifty.n\n"
         "  def __getitem__(self, i): return 1\n"
         "s.set(Shifty())",
         &code);
  EXPECT_EQ(code, QMe_FAILED);
  // A conversion that changes the buffer under the write is caught.
  EXPECT_EQ(Raises("class Retype(object):\n"
                   "  def __float__(self):\n"
                   "    s.setType('d')\n"
                   "    return 1.0\n"
                   "s.set((1, Retype(), 3))"),
            "RuntimeError: Storage buffer changed while being written");
}

// A block the machine cannot give is a MemoryError, and the storage keeps
// what it held (the sanitizer build lets such an allocation fail too).
TEST_F(StorageTest, ABlockTooLargeToAllocateIsAMemoryErrorAndChangesNothing) {
  Run("s = Storage('d', 2)\ns.set((1, 2))");
  EXPECT_EQ(Raises("s += xrange(1 << 40)"), "MemoryError: Allocation failied");
  EXPECT_TRUE(Holds("s.size() == 2 and s.get() == (1.0, 2.0)"));
}

TEST_F(StorageTest, SetTypeResizesAnOwnedBlock) {
  Run("s = Storage('f', 4)\ns.setType('double')");
  EXPECT_EQ(Get("s")->capacity, 32U);
  EXPECT_EQ(Get("s")->elementType, static_cast<uint32_t>(kStorageDouble));
  Run("s.setType('b')");
  EXPECT_EQ(Get("s")->capacity, 32U);
  EXPECT_EQ(Raises("s.setType('q')"), "RuntimeError: Unknown storage type");
  EXPECT_TRUE(Holds("s.size() == 4 and len(s.get()) == 4"));
  EXPECT_EQ(Get("s")->elementType, static_cast<uint32_t>(kStorageByte));
}

TEST_F(StorageTest, HostBlockNeverGrowsAndIsNotFreed) {
  float block[4] = {1, 2, 3, 4};
  Wrap("h", block, 4, kStorageFloat, true);
  EXPECT_EQ(Get("h")->owned, 0);
  EXPECT_EQ(StorageData(reinterpret_cast<PyObject*>(Get("h"))), block);
  EXPECT_TRUE(Holds("h.get() == (1.0, 2.0, 3.0, 4.0)"));
  Run("h.set((5, 6))\nh[1] = 9");
  EXPECT_TRUE(Holds("h.size() == 2"));
  const char* grow = "RuntimeError: Storage buffer cannot grow past its block";
  EXPECT_EQ(Raises("h.setSize(5)"), grow);
  EXPECT_EQ(Raises("h.offset(1)\nh.set((7, 8, 9, 10))"), grow);
  EXPECT_EQ(Raises("h.setSize(4)\nh += (1,)"), grow);
  EXPECT_EQ(Raises("h.setType('d')"), grow);
  EXPECT_EQ(Raises("h.setSize(2)\nh.setType('d')\nh.setSize(3)"), grow);  // 24 bytes > 16
  EXPECT_TRUE(Holds("h.size() == 2 and h.offset() == 1"));
  EXPECT_EQ(Get("h")->elementType, static_cast<uint32_t>(kStorageDouble));
  Run("h.setType('f')\nh.setSize(4)\nh[2] = 11");
  EXPECT_EQ(Get("h")->data, block);
  EXPECT_EQ(Get("h")->capacity, 0U);
  ASSERT_EQ(PyDict_DelItemString(main_, "h"), 0);  // the object goes; the array stays
  EXPECT_EQ(block[0], 5);
  EXPECT_EQ(block[1], 9);
  EXPECT_EQ(block[2], 3);
  EXPECT_EQ(block[3], 11);
}

TEST_F(StorageTest, ReadOnlyHostBlockRefusesEveryWrite) {
  int32_t block[3] = {1, 2, 3};
  Wrap("r", block, 3, kStorageInt, false);
  const char* refused = "RuntimeError: Storage buffer is not writable";
  EXPECT_EQ(Raises("r.set((7,))"), refused);
  EXPECT_EQ(Raises("r += (7,)"), refused);
  EXPECT_EQ(Raises("r[0] = 7"), refused);
  EXPECT_TRUE(Holds("r.get() == (1, 2, 3) and r[2] == 3"));
  EXPECT_EQ(block[0], 1);
  EXPECT_EQ(NewStorageOver(nullptr, 2, kStorageInt, true), nullptr);
  EXPECT_EQ(Pending(), "RuntimeError: Storage block is null");
}

TEST_F(StorageTest, DetachedBufferIsEmpty) {
  uint8_t block[4] = {'o', 'k', 0, 0};
  Wrap("h", block, 4, kStorageByte, true);
  Run("h.offset(2)");
  EXPECT_TRUE(Holds("h.string() == 'ok'"));
  DetachStorage(reinterpret_cast<PyObject*>(Get("h")));
  EXPECT_EQ(Get("h")->data, nullptr);
  EXPECT_TRUE(Holds("h.size() == 0 and h.offset() == 0 and h.get() == () and h.string() == ''"));
  EXPECT_EQ(Raises("h[0]"), "IndexError: Out of bounds");
  EXPECT_EQ(Raises("h.setSize(1)"), "RuntimeError: Storage buffer cannot grow past its block");
  Run("o = Storage('d', 3)");
  DetachStorage(reinterpret_cast<PyObject*>(Get("o")));  // an owned block is freed
  EXPECT_EQ(Get("o")->capacity, 0U);
  EXPECT_TRUE(Holds("o.size() == 0 and o.setSize(1) is None and o.size() == 1"));
}

}  // namespace
