// The whole package against lists kept apart from the catalogue
// (tests/data): every type of qm.object and qm.service with exactly its
// methods in the order of its method table, every docstring in the form of
// its call, and every name of qm.symbol with the kind of value its prefix
// gives.
#include "interp/python.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "scripting/qm_module.h"

namespace {

using Lists = std::vector<std::pair<std::string, std::vector<std::string>>>;

// "Name: A, B, C" lines; "#" starts a comment line.
Lists ReadTypes(const std::string& file) {
  std::ifstream in(std::string(QM_TEST_DATA) + "/" + file);
  Lists types;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    size_t colon = line.find(':');
    std::vector<std::string> methods;
    std::istringstream rest(line.substr(colon + 1));
    for (std::string name; std::getline(rest, name, ',');) {
      name.erase(0, name.find_first_not_of(' '));
      if (!name.empty()) methods.push_back(name);
    }
    types.emplace_back(line.substr(0, colon), methods);
  }
  return types;
}

class Catalogue : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Py_NoSiteFlag = 1;
    Py_Initialize();
    CreateQmModule();
  }

  // The submodule's attribute `name`, borrowed; null when missing.
  static PyObject* Attribute(const char* submodule, const std::string& name) {
    PyObject* qm = PyImport_AddModule("qm");
    PyObject* sub = qm != nullptr ? PyObject_GetAttrString(qm, submodule) : nullptr;
    if (sub == nullptr) {
      PyErr_Clear();
      return nullptr;
    }
    PyObject* value = PyObject_GetAttrString(sub, name.c_str());
    Py_DECREF(sub);
    if (value == nullptr) PyErr_Clear();
    if (value != nullptr) Py_DECREF(value);  // the submodule keeps it
    return value;
  }

  // The names of the type's method table, in order.
  static std::vector<std::string> Table(PyObject* type) {
    std::vector<std::string> names;
    for (PyMethodDef* m = reinterpret_cast<PyTypeObject*>(type)->tp_methods;
         m != nullptr && m->ml_name != nullptr; ++m) {
      names.push_back(m->ml_name);
    }
    return names;
  }

  static void CheckTypes(const char* submodule, const Lists& types, bool object) {
    ASSERT_FALSE(types.empty());
    std::set<std::string> listed;
    for (const auto& entry : types) {
      listed.insert(entry.first);
      PyObject* type = Attribute(submodule, entry.first);
      if (type == nullptr || !PyType_Check(type)) {
        ADD_FAILURE() << "qm." << submodule << "." << entry.first << " is missing";
        continue;
      }
      std::vector<std::string> expected;
      if (object) expected = {"set", "test"};
      expected.insert(expected.end(), entry.second.begin(), entry.second.end());
      EXPECT_EQ(Table(type), expected) << "qm." << submodule << "." << entry.first;
    }
    // Nothing else: the types of the submodule are exactly the listed ones
    // (and qm.object's storage type).
    for (const auto& [name, value] : Entries(submodule)) {
      if (!PyType_Check(value) || name == "storage") continue;
      EXPECT_TRUE(listed.count(name)) << "qm." << submodule << "." << name << " is not listed";
    }
  }

  // Every name of the submodule with its value (borrowed).
  static std::vector<std::pair<std::string, PyObject*>> Entries(const char* submodule) {
    std::vector<std::pair<std::string, PyObject*>> entries;
    PyObject* sub = PyObject_GetAttrString(PyImport_AddModule("qm"), submodule);
    if (sub == nullptr) {
      PyErr_Clear();
      ADD_FAILURE() << "no qm." << submodule;
      return entries;
    }
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(PyModule_GetDict(sub), &pos, &key, &value)) {
      entries.emplace_back(PyString_AsString(key), value);
    }
    Py_DECREF(sub);  // the package keeps the submodule and so its values
    return entries;
  }
};

TEST_F(Catalogue, EveryObjectTypeHasExactlyItsMethodsInTableOrder) {
  Lists types = ReadTypes("object_types.txt");
  EXPECT_EQ(types.size(), 202U);
  CheckTypes("object", types, true);
}

TEST_F(Catalogue, EveryServiceTypeHasExactlyItsMethodsInTableOrder) {
  Lists types = ReadTypes("service_types.txt");
  EXPECT_EQ(types.size(), 35U);
  CheckTypes("service", types, false);
}

// "[results = ]Name(kind name,...)": results are kinds, each optionally
// named ("Item object", "float dVal"), several in parentheses.
TEST_F(Catalogue, EveryDocstringHasTheFormOfItsCall) {
  const std::string kind =
      "(integer|float|string|object|pointer|id|vector|matrix|bounds|hints|blocks|"
      "float\\[\\]|double\\[\\]|int\\[\\]|unsigned\\[\\]|byte\\[\\]|id\\[\\]|data\\[\\])";
  const std::string result = "(bool|boolean|integer|float|string|pointer|id|vector|matrix|bounds|"
                             "hints|object|\\w+ object)( \\w+)?";
  const std::regex form("^((" + result + "|\\((" + result + ",)+" + result + "\\)) = )?" +
                        "(\\w+)\\(((" + kind + " \\w+,)*" + kind + " \\w+)?\\)$");
  int checked = 0;
  for (const char* submodule : {"object", "service"}) {
    for (const auto& entry : ReadTypes(std::string(submodule) + "_types.txt")) {
      PyObject* type = Attribute(submodule, entry.first);
      if (type == nullptr) continue;  // reported by the type tests
      for (PyMethodDef* m = reinterpret_cast<PyTypeObject*>(type)->tp_methods;
           m != nullptr && m->ml_name != nullptr; ++m) {
        std::string doc = m->ml_doc != nullptr ? m->ml_doc : "";
        EXPECT_TRUE(std::regex_match(doc, form)) << entry.first << "." << m->ml_name << ": " << doc;
        size_t equals = doc.find(" = ");
        size_t start = equals == std::string::npos ? 0 : equals + 3;
        EXPECT_EQ(doc.substr(start, doc.find('(', start) - start), m->ml_name) << doc;
        ++checked;
      }
    }
  }
  EXPECT_EQ(checked, 2419);
}

// The kind of value a prefix gives.
const char* KindOf(const std::string& name) {
  static const std::vector<std::pair<std::string, const char*>> kPrefixes = {
      {"u_", "str"}, {"a_", "str"}, {"s_", "str"}, {"f_", "long"}, {"i_", "long"},
      {"e_", "long"}, {"v_", "float"}, {"s", "str"}, {"f", "long"}, {"i", "long"},
      {"e", "long"}, {"m", "long"}, {"a", "long"}};
  for (const auto& p : kPrefixes) {
    if (name.compare(0, p.first.size(), p.first) == 0) return p.second;
  }
  return "?";
}

TEST_F(Catalogue, EverySymbolIsPresentWithTheKindOfItsPrefix) {
  std::ifstream in(std::string(QM_TEST_DATA) + "/symbols.txt");
  std::set<std::string> listed;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    listed.insert(line);
    PyObject* value = Attribute("symbol", line);
    if (value == nullptr) {
      ADD_FAILURE() << "qm.symbol." << line << " is missing";
      continue;
    }
    std::string kind = KindOf(line);
    const char* actual = PyString_Check(value)  ? "str"
                         : PyLong_Check(value)  ? "long"
                         : PyFloat_Check(value) ? "float"
                                                : "other";
    EXPECT_EQ(actual, kind) << line;
  }
  EXPECT_EQ(listed.size(), 2934U);
  for (const auto& entry : Entries("symbol")) {
    if (entry.first.compare(0, 2, "__") == 0) continue;
    EXPECT_TRUE(listed.count(entry.first)) << "qm.symbol." << entry.first << " is not listed";
  }
}

// The values that scripts rely on, given exactly.
TEST_F(Catalogue, QuotedSymbolValues) {
  PyObject* guide = Attribute("symbol", "i_GUIDE_SUGGEST");
  ASSERT_NE(guide, nullptr);
  EXPECT_EQ(PyLong_AsLong(guide), 1);
}

}  // namespace
