// Every method of every qm.object and qm.service type with hostile
// arguments, through the real plug-in and the reference host: on empty
// wrappers, on service wrappers and on the objects the host hands out
// (scene, items, messages, logs, commands, values, threads, ...).  The
// calling is done by tests/scripts/hostile_sweep.py; each shard of types is
// a test of its own, so that a crash names the shard at least and the
// breadcrumb the method.
#include "hostile_sweep_support.h"
#include "plugin_fixture.h"

namespace {

class HostileSweep : public qmtest::ScriptRun, public ::testing::WithParamInterface<sweep::Shard> {
};

TEST_P(HostileSweep, EveryCallEndsInAResultOrAnException) {
  const sweep::Shard& shard = GetParam();
  sweep::Folder folder;
  std::string script = sweep::ReadFile(QM_SWEEP_SCRIPT);
  ASSERT_FALSE(script.empty());
  std::string args = std::string(shard.kind) + " " + std::to_string(shard.index) + " " +
                     std::to_string(shard.count) + " \"" + QM_GENERATED_DIR +
                     "/qm_docstrings.txt\" \"" + folder.path() + "\"";
  qmtest::Outcome o = Run(script, args, "hostile_sweep.py");
  std::string report = folder.Report();
  EXPECT_EQ(o.rc, QMe_OK) << report;
  sweep::CheckReport(report);
}

INSTANTIATE_TEST_SUITE_P(Host, HostileSweep, ::testing::ValuesIn(sweep::kShards),
                         sweep::ShardName);

}  // namespace
