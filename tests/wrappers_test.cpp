// qm.object and qm.service in script runs: the package set-up, wrapper
// construction and set, the conventions of wrapper methods, and services.
#include <gtest/gtest.h>

#include "plugin_fixture.h"

namespace {

using qmtest::Outcome;
using Wrappers = qmtest::ScriptRun;

Outcome RunChecked(Wrappers& t, const std::string& body) {
  return t.Run(qmtest::kErrorHelper + body);
}

TEST_F(Wrappers, SetUpNamesTypesAndConstants) {
  Outcome o = RunChecked(*this,
      "assert qm.object.Unknown.__module__ + '.' + qm.object.Unknown.__name__ == "
      "'qm.object.Unknown', qm.object.Unknown\n"
      "assert repr(qm.service.Scene) == \"<type 'qm.service.Scene'>\"\n"
      "assert repr(qm.object.storage) == \"<type 'qm.object.storage'>\"\n"
      "ready = 1 << 12\n"  // Python marks a readied type
      "assert qm.object.Unknown.__flags__ & ~ready == 0x205EB\n"
      "assert qm.service.Scene.__flags__ & ~ready == 0x205EB\n"
      "assert qm.object.Message.__bases__ == (object,)\n"
      "assert not issubclass(qm.object.Message, qm.object.Unknown)\n"
      "assert qm.symbol.u_UNKNOWN == '00000000-0000-0000-0000-0000000000C4'\n"
      "assert qm.symbol.u_CHANNELMODIFIER == '7D633F1B-41A9-4151-B94E-A50322DB62EB'\n"
      "assert qm.symbol.u_LOGSERVICE == '0BC355C2-5E6B-49EF-B368-600D9F26F543'\n"
      "assert [k for k in dir(qm.ifc) if not k.startswith('__')] == []\n"
      "s = qm.symbol\n"
      "assert s.e_CMD_DISABLED == -2071986172 and s.e_FAILED == -2147483648\n"
      "assert s.eEVAL_IDENTICAL == 105906177 and type(s.eEVAL_IDENTICAL) is long\n"
      "assert (s.fCHMOD_INPUT, s.fCHMOD_OUTPUT, s.fCHMOD_MULTILINK) == (1, 2, 4)\n"
      "assert s.iTYPE_ANY == -1 and s.fIPEVENT_EVENT == -16 and s.v_PATHGEN_DIV_FINE == 0.052\n"
      "assert s.sITYPE_MESH == 'mesh' and s.sMOD_GUIDLIST == 'modifier.guidList'\n"
      "assert s.a_CHANNELMODIFIER == 'channelmodifier'\n"
      "assert s.a_CHANNELUISERVICE == 'channelUIservice'\n"
      "assert s.s_NOTIFIER_COLOR_CHANGED == 'notifier.colorChanged'\n"
      "assert (s.aSTATE_PLAYING, s.aSTATE_STOPPED, s.mPOPFLAGS_GROUP_MASK) == (1, 0, 15)\n"
      "assert s.f_GEOCONS_POINT == 1 and s.iBOOLEANSTYLE_DEFAULT == 0\n"
      "assert s.f_LOADIMG_SEARCH_PATHS == 1 and s.f_LOADIMG_USER_REPLACE == 2\n"
      "assert qm.object.ChannelModifier.set.__doc__ == 'bool = set(object source)'\n"
      "assert qm.object.ChannelModifier.test.__doc__ == 'bool = test()'\n"
      "assert not hasattr(qm.service.Scene, 'set')\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
}

TEST_F(Wrappers, DocstringsOfTheTellingTypes) {
  Outcome o = RunChecked(*this,
      "cm = qm.object.ChannelModifier\n"
      "expected = [\n"
      "  ('WriteOutputFloat', 'WriteOutputFloat(object attr,integer outputIndex,float dVal)'),\n"
      "  ('AddOutput', 'AddOutput(object item,integer index)'),\n"
      "  ('AddTime', 'AddTime()'),\n"
      "  ('ReadInputFloat', 'float dVal = ReadInputFloat(object attr,integer inputIndex)'),\n"
      "  ('ReadInputFloatByIndex', 'float dVal = ReadInputFloatByIndex(object attr,"
      "integer inputIndex,integer linkIndex)'),\n"
      "  ('ReadInputInt', 'integer iVal = ReadInputInt(object attr,integer inputIndex)'),\n"
      "  ('AddInput', 'AddInput(object item,integer index)'),\n"
      "  ('InputCount', 'integer nInputs = InputCount(integer index)'),\n"
      "  ('WriteOutputInt', 'WriteOutputInt(object attr,integer outputIndex,integer iVal)'),\n"
      "  ('OutputCount', 'integer nOutputs = OutputCount(integer index)'),\n"
      "  ('ReadInputIntByIndex', 'integer iVal = ReadInputIntByIndex(object attr,"
      "integer inputIndex,integer linkIndex)'),\n"
      "  ('ReadInputAngle', 'float dVal = ReadInputAngle(object attr,integer inputIndex)'),\n"
      "]\n"
      "for name, doc in expected:\n"
      "    assert getattr(cm, name).__doc__ == doc, (name, getattr(cm, name).__doc__)\n"
      "aa = qm.service.AudioAnim\n"
      "expected = [\n"
      "  ('Playing', 'integer = Playing()'), ('Item', 'Item object = Item()'),\n"
      "  ('ItemSample', 'ItemSample(object obj,integer loop,float time,integer type,"
      "pointer value)'),\n"
      "  ('Scrub', 'integer = Scrub()'), ('Start', 'float = Start()'),\n"
      "  ('Loop', 'integer = Loop()'),\n"
      "  ('Preview', 'Audio object = Preview(float startTime,float endTime)'),\n"
      "  ('End', 'float = End()'), ('ItemAudio', 'Unknown object = ItemAudio(object obj)'),\n"
      "  ('Mute', 'integer = Mute()'),\n"
      "  ('Sample', 'Sample(float time,integer type,data[] value)'),\n"
      "  ('Audio', 'Audio object = Audio()'),\n"
      "]\n"
      "for name, doc in expected:\n"
      "    assert getattr(aa, name).__doc__ == doc, (name, getattr(aa, name).__doc__)\n"
      "assert qm.service.Log.ScriptQuery.__doc__ == 'Unknown object = ScriptQuery()'\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
}

TEST_F(Wrappers, ConstructionAndSet) {
  Outcome o = RunChecked(*this,
      "u = qm.object.Unknown()\n"
      "assert u.test() is False\n"
      "assert u.set(None) is False and u.set(0) is False\n"
      "assert error(u.set, 1) == 'RuntimeError: Object of invalid type'\n"
      "assert error(u.set) == 'TypeError: function takes exactly 1 argument (0 given)'\n"
      "msg = qm.service.Message().Allocate()\n"
      "assert type(msg) is qm.object.Message and msg.test()\n"
      "assert u.set(msg) is True and u.test()\n"
      "m2 = qm.object.Message(u)\n"   // typed from an Unknown holding a message
      "assert m2.test() and m2 is not msg and m2 != msg\n"
      "assert error(qm.object.Log, msg) == 'TypeError: no interface'\n"
      "log = qm.object.Log()\n"
      "assert log.set(msg) is False and log.test() is False\n"
      "class Sub(qm.object.Message): pass\n"
      "s = Sub()\n"
      "assert error(u.set, s) == 'RuntimeError: Object of invalid type'\n"
      "assert error(qm.object.Message, s) == 'RuntimeError: Object of invalid type'\n"
      "assert error(qm.object.Message, None) == 'RuntimeError: Object of invalid type'\n"
      "assert error(u.set, qm.object.storage()) == 'RuntimeError: Object of invalid type'\n"
      "assert msg.set(0) is False and msg.test() is False\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
}

TEST_F(Wrappers, MethodConventions) {
  Outcome o = RunChecked(*this,
      // An empty receiver fails before its arguments are looked at.
      "assert error(qm.object.Message().SetCode) == 'TypeError: no interface'\n"
      "assert error(qm.object.Message().SetCode, 'x', 'y') == 'TypeError: no interface'\n"
      "msg = qm.service.Message().Allocate()\n"
      "assert error(msg.Reset, 1) == 'RuntimeError: Error parsing argument list'\n"
      "assert error(msg.SetCode, 'x').startswith('TypeError')\n"  // Python's own parse error
      "assert msg.SetMessage('qmresult', None, 0x80000017) is None\n"
      "assert msg.Table() == 'qmresult' and msg.Name() == ''\n"
      "assert qm.service.Message().MessageText(msg) == 'Not found.'\n"
      "assert error(qm.service.Message().MessageText, 5) == "
      "'RuntimeError: Object of invalid type'\n"
      // Object results, integer and boolean results.
      "logs = qm.service.Log()\n"
      "py = logs.SubSystemLookup('python')\n"
      "assert type(py) is qm.object.Log and py.Name() == 'python'\n"
      "assert error(logs.SubSystemLookup, 'nope') == 'LookupError: not found'\n"
      "e = logs.CreateEntryMessage(2, 'hello')\n"
      "assert type(e) is qm.object.LogEntry and e.Type() == 2 and type(e.Type()) is long\n"
      "assert e.Title() == 'hello' and e.ChildCount() == 0\n"
      "assert qm.service.Host().SpawnForTagsOnly() is False\n"
      // A text through a buffer longer than the first one tried.
      "va = qm.service.Command().CreateQueryObject('string')\n"
      "va.AddString('x' * 1500)\n"
      "assert va.GetString(0) == 'x' * 1500 and va.Count() == 1\n"
      "assert error(va.GetString, 3) == 'IndexError: out of bounds'\n"
      "assert error(va.AddInt, 5) == 'TypeError: invalid argument'\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
}

TEST_F(Wrappers, ServicesShareOnePointerAndAreNoObjects) {
  unsigned before = app_->QueryCount(IID_IQmLogService);
  Outcome o = RunChecked(*this,
      "a = qm.service.Log()\n"
      "b = qm.service.Log(1, 2)\n"  // arguments are not examined
      "assert a.SubSystemLookup('scripts').Name() == b.SubSystemLookup('scripts').Name()\n"
      "assert error(qm.object.Unknown().set, a) == 'RuntimeError: Object of invalid type'\n"
      "assert error(qm.service.AudioAnim().Playing) == 'TypeError: no interface'\n"
      "assert not hasattr(qm.service.AudioAnim, 'ScriptQuery')\n"
      "q = qm.service.Scene().ScriptQuery()\n"
      "assert type(q) is qm.object.Unknown and q.test()\n"
      "assert qm.object.ScriptQuery(q).test()\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
  // The service was looked up once, whatever the number of wrappers.
  EXPECT_LE(app_->QueryCount(IID_IQmLogService) - before, 1U);
}

// The wrapper types are readied by their first use, in whichever run comes
// first; each way to a type must find it whole: each line below is the
// first use of its type in this process.
TEST_F(Wrappers, EveryWayToATypeFindsItWhole) {
  Outcome first = RunChecked(*this,
      "O, S = qm.object, qm.service\n"
      // Questions that Python answers without readying the type.
      "assert issubclass(O.Mesh, object) and not issubclass(O.Mesh, O.Item)\n"
      "assert not isinstance(O.Unknown(), O.Polygon)\n"
      "assert repr(O.TableauVertex) == \"<type 'qm.object.TableauVertex'>\"\n"
      "assert O.TableauVertex != O.Edge and hash(O.Curve) == hash(O.Curve)\n"
      // Attributes of the type.
      "assert O.Edge.test.__doc__ == 'bool = test()'\n"
      "assert O.Point.__name__ == 'Point' and O.Point.__module__ == 'qm.object'\n"
      "assert 'Normal' in dir(O.Point) and 'set' in vars(O.Polygon)\n"
      "assert O.LayerScan.__mro__ == (O.LayerScan, object)\n"
      "assert error(getattr, O.Envelope, 'Nothing') == "
      "\"AttributeError: type object 'qm.object.Envelope' has no attribute 'Nothing'\"\n"
      // Instances made by scripts, by subclasses and by the plug-in.
      "w = O.Message()\n"
      "assert type(w) is O.Message and not w.test() and not w.set(None)\n"
      "class Mine(O.ItemGraph): pass\n"
      "m = Mine()\n"
      "assert isinstance(m, O.ItemGraph) and not m.test() and Mine.__bases__ == (O.ItemGraph,)\n"
      "assert hasattr(S.Layer(), 'ScanAllocate') and hasattr(S.Selection, 'Count')\n"
      "scene = S.Scene().Root()\n"
      "assert type(scene) is O.Scene and scene.ItemCount(0) == 0\n"
      "assert scene.ItemAdd(S.Scene().ItemTypeLookup('mesh')).Name() is not None\n");
  ASSERT_EQ(first.rc, QMe_OK) << first.log;
  // Types readied in an interpreter that has ended serve the next run, and
  // so do those readied first in this one.
  Outcome next = RunChecked(*this,
      "O = qm.object\n"
      "assert O.Scene.ItemCount.__doc__ == 'integer count = ItemCount(integer type)'\n"
      "assert type(qm.service.Scene().Root()) is O.Scene and O.Mesh().test() is False\n"
      "assert 'Visible' in dir(O.Locator) and O.Keyframe.__mro__ == (O.Keyframe, object)\n");
  EXPECT_EQ(next.rc, QMe_OK) << next.log;
}

}  // namespace
