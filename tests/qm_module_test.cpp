// The qm module's own functions in script runs: output, arguments, options
// and tracing.
#include <gtest/gtest.h>

#include "plugin_fixture.h"

namespace {

using qmtest::Outcome;
using QmModule = qmtest::ScriptRun;

TEST_F(QmModule, OutJoinsItsArgumentsWithBlanks) {
  Outcome o = Run(
      "import qm\n"
      "qm.out()\n"
      "qm.out('a', '', 'b')\n"
      "qm.out('', 'a')\n"
      "qm.out(1, 2.5, None, [1])\n",
      "", "out.py");
  EXPECT_EQ(o.rc, QMe_OK);
  EXPECT_EQ(o.log,
            "[info] out.py\n"
            "  [info] \n"
            "  [info] a  b\n"
            "  [info] a\n"
            "  [info] 1 2.5 None [1]\n");
}

TEST_F(QmModule, FunctionTableIsInOrderWithItsDocumentation) {
  Outcome o = Run(
      "import qm\n"
      "assert qm.__doc__ == 'Module for vorex extensions.'\n"
      "assert qm.out.__doc__ == 'Output to log.'\n"
      "assert qm.command.__doc__ == 'Execute a command with a variable argument list.'\n"
      "assert qm.bless.__doc__ == 'Amen.'\n"
      "assert qm.extract.__doc__ == "
      "'Extract the Python object referenced from a COM object wrapper.'\n"
      "assert qm.Service.__name__ == 'Service' and qm.Monitor.__doc__ == 'Monitor objects'\n"
      "for name in ('out eval eval1 evalN queryToggle command test arg args setOption option '\n"
      "             'trace bless throw notimpl outEx extract').split():\n"
      "    assert callable(getattr(qm, name)), name\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
}

TEST_F(QmModule, ArgumentsAreTheRunsOwn) {
  Outcome o = Run(
      "import qm\n"
      "assert qm.arg() == 'one \"two three\"', repr(qm.arg())\n"
      "assert qm.args() == ('one', 'two three'), qm.args()\n"
      "assert qm.args(1, 2) == qm.args()\n",  // arguments are not examined
      "one \"two three\"");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
  Outcome none = Run("import qm\nassert qm.arg() == '' and qm.args() == ()\n");
  EXPECT_EQ(none.rc, QMe_OK) << none.log;
}

TEST_F(QmModule, AngleOptionAndItsErrors) {
  Outcome o = Run(
      "import qm\n"
      "assert qm.option('queryAnglesAs') == 'radians'\n"
      "def error(f, *a):\n"
      "    try:\n"
      "        f(*a)\n"
      "    except RuntimeError, e:\n"
      "        return str(e)\n"
      "assert error(qm.setOption, 'queryAnglesAs', 'Degrees') == "
      "'unknown value for \"queryAnglesAs\": \"Degrees\"'\n"
      "assert qm.option('queryAnglesAs') == 'radians'\n"
      "assert error(qm.option, 'speed') == 'unknown option \"speed\"'\n"
      "assert error(qm.setOption, 'speed', 'x') == 'unknown option \"speed\"'\n"
      "long = error(qm.option, 'x' * 1000)\n"
      "assert long.startswith('unknown option \"xxx') and len(long) == 255, len(long)\n"
      "qm.setOption('queryAnglesAs', 'degrees')\n"
      "assert qm.option('queryAnglesAs') == 'degrees'\n"
      "try:\n"
      "    qm.option()\n"
      "except TypeError:\n"
      "    pass\n"
      "else:\n"
      "    raise AssertionError('no TypeError')\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
  // Each run starts in radians.
  Outcome next = Run("import qm\nassert qm.option('queryAnglesAs') == 'radians'\n");
  EXPECT_EQ(next.rc, QMe_OK) << next.log;
}

TEST_F(QmModule, TraceTakesOnlyBoolsAndShowsOneLineEachWay) {
  Outcome o = Run(
      "import qm\n"
      "try:\n"
      "    qm.trace(1)\n"
      "except RuntimeError, e:\n"
      "    qm.out(e)\n"
      "assert qm.trace(True) is True\n"
      "qm.out('traced')\n"
      "assert qm.trace(False) is False\n"
      "assert qm.trace(False) is False\n",
      "", "trace.py");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
  EXPECT_EQ(o.log,
            "[info] trace.py\n"
            "  [info] qm.trace requires a boolean argument\n"
            "  [info] \x03(f:FONT_ITALIC) qm.trace: qm.trace - Enabled\x03(f:FONT_DEFAULT)\n"
            "  [info] traced\n"
            "  [info] \x03(f:FONT_ITALIC) qm.trace: qm.trace - Disabled\x03(f:FONT_DEFAULT)\n");
}

}  // namespace
