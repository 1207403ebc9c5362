#include "host/python_servers.h"

#include <ostream>

#include "host/messages.h"
#include "qm_ifc_module.h"
#include "qm_ifc_servers.h"

namespace qmhost {

PythonServers::PythonServers(IQmModule* plugin) {
  void* made = nullptr;
  if (plugin != nullptr &&
      !QmFailed(plugin->vt->Generate(plugin, "python", &IID_IQmModule, &made))) {
    module_ = static_cast<IQmModule*>(made);
  }
}

PythonServers::~PythonServers() {
  if (module_ != nullptr) QmRelease(module_);
}

std::vector<ServerInfo> PythonServers::List() {
  std::vector<ServerInfo> servers;
  if (module_ == nullptr) return servers;
  for (const auto& entry : ServerEntries(module_)) {
    ServerInfo info{entry.first, entry.second, {}, QMe_OK};
    void* tags = nullptr;
    info.spawned = module_->vt->GetTags(module_, info.name.c_str(), &info.primary, &tags);
    if (!QmFailed(info.spawned) && tags != nullptr) {
      info.tags = ReadTags(static_cast<IQmTagDescription*>(tags));
      QmRelease(tags);
    }
    servers.push_back(std::move(info));
  }
  return servers;
}

void* PythonServers::Spawn(const std::string& name, const QmGUID& iid, QmResult* rc) {
  *rc = QMe_NOTFOUND;
  if (module_ == nullptr) return nullptr;
  void* server = nullptr;
  *rc = module_->vt->Generate(module_, name.c_str(), &iid, &server);
  if (QmFailed(*rc) || server == nullptr) return nullptr;
  void* face = nullptr;
  *rc = QmQueryInterface(server, iid, &face);
  QmRelease(server);
  return QmFailed(*rc) ? nullptr : face;
}

std::vector<Ref<LogEntry>> ServerLoadFailures(LogService& logs, LogMark mark) {
  static const std::string kHead = "loading Python servers from ";
  static const std::string kTail = " failed";
  std::vector<Ref<LogEntry>> failures;
  for (auto& entry : logs.EntriesSince(mark, {"python"})) {
    std::string title = entry->Title();
    if (entry->GetKind() == LogEntry::Kind::kError && title.size() > kHead.size() + kTail.size() &&
        title.compare(0, kHead.size(), kHead) == 0 &&
        title.compare(title.size() - kTail.size(), kTail.size(), kTail) == 0) {
      failures.push_back(entry);
    }
  }
  return failures;
}

namespace {

std::string Answer(QmResult rc) { return rc == QMe_OK ? "OK" : ResultCodeText(rc); }

}  // namespace

int Simulate(PythonServers& servers, const std::string& name, int steps, std::ostream& out) {
  QmResult rc = QMe_OK;
  auto* sim = static_cast<IQmSimulationModifier*>(
      servers.Spawn(name, IID_IQmSimulationModifier, &rc));
  if (sim == nullptr) {
    out << name << ": no simulation modifier (" << Answer(rc) << ")\n";
    return 1;
  }
  bool ok = true;
  auto note = [&](const char* what, QmResult code) {
    out << what << ": " << Answer(code) << "\n";
    ok = ok && !QmFailed(code);
  };
  QmResult enabled = sim->vt->Enabled(sim, nullptr);
  out << "Enabled: " << (enabled == QMe_TRUE ? "yes" : enabled == QMe_FALSE ? "no" : Answer(enabled))
      << "\n";
  if (enabled == QMe_TRUE) {
    const double frame = 1.0 / 24.0;
    note("Initialize", sim->vt->Initialize(sim, frame, 0.0));
    double size = 0.0;
    QmResult sized = sim->vt->StepSize(sim, &size);
    note("StepSize", sized);
    if (QmFailed(sized) || size <= 0.0) size = frame;
    out << "step size " << size << "\n";
    double time = 0.0;
    for (int i = 0; i < steps; ++i) {
      time += size;
      out << "t=" << time << " ";
      note("Step", sim->vt->Step(sim, size));
    }
    sim->vt->Cleanup(sim);
    out << "Cleanup\n";
  } else {
    ok = ok && !QmFailed(enabled);
  }
  QmRelease(sim);
  return ok ? 0 : 1;
}

}  // namespace qmhost
