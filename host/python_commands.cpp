#include "host/python_commands.h"

#include <deque>

#include "host/commands.h"
#include "host/python_servers.h"
#include "qm_ifc_module.h"

namespace qmhost {

namespace {

// A command definition with the texts it points into.
struct PythonCommand {
  std::string name, userName, desc, example;
  std::deque<std::string> texts;  // argument names, types, user names
  CommandDef def{};
};

// The text a method hands out through its out-parameter, read once the
// call has filled it; empty when the call fails or hands out none.
template <class Call>
std::string TextOf(Call call) {
  const char* text = nullptr;
  QmResult rc = call(&text);
  return !QmFailed(rc) && text != nullptr ? text : "";
}

void Execute(const std::string& name, CommandRun& run) {
  IQmModule* module = run.Context().AcquireModule();
  if (module == nullptr) {
    run.Fail(QMe_FAILED);
    return;
  }
  PythonServers servers(module);
  QmRelease(module);
  QmResult rc = QMe_OK;
  auto* command = static_cast<IQmCommand*>(servers.Spawn(name, IID_IQmCommand, &rc));
  if (command == nullptr) {
    run.Fail(rc);
    return;
  }
  void* found = nullptr;
  if (!QmFailed(QmQueryInterface(command, IID_IQmAttributes, &found)) && found != nullptr) {
    auto* attributes = static_cast<IQmAttributes*>(found);
    for (size_t i = 0; i < run.Def().args.size(); ++i) {
      if (!run.Has(i)) continue;
      rc = attributes->vt->SetString(attributes, static_cast<uint32_t>(i), run.Text(i).c_str());
      if (QmFailed(rc)) run.Fail(rc);
    }
    QmRelease(attributes);
  }
  if (!QmFailed(run.Code())) {
    command->vt->Execute(command, run.Flags());
    // The command tells how it went through its message; a command that
    // cannot even give its message has not gone well.
    void* message = nullptr;
    QmResult got = command->vt->Message(command, &message);
    if (QmFailed(got)) {
      run.Fail(got);
    } else if (message != nullptr) {
      auto* m = static_cast<IQmMessage*>(message);
      OwnCalls own;
      QmResult code = m->vt->Code(m);
      if (QmFailed(code)) run.Fail(code);
      QmRelease(m);
    }
  }
  QmRelease(command);
}

// The definition of a command server, read from a new instance of it.
std::shared_ptr<const CommandDef> Describe(PythonServers& servers, const std::string& name) {
  QmResult rc = QMe_OK;
  auto* command = static_cast<IQmCommand*>(servers.Spawn(name, IID_IQmCommand, &rc));
  if (command == nullptr) return nullptr;
  auto made = std::make_shared<PythonCommand>();
  PythonCommand& c = *made;
  c.name = name;
  c.userName = TextOf([&](const char** text) { return command->vt->UserName(command, text); });
  c.desc = TextOf([&](const char** text) { return command->vt->Desc(command, text); });
  c.example = TextOf([&](const char** text) { return command->vt->Example(command, text); });
  uint32_t flags = 0;
  if (QmFailed(command->vt->Flags(command, &flags))) flags = 0;
  c.def.name = c.name.c_str();
  c.def.userName = c.userName.c_str();
  c.def.desc = c.desc.c_str();
  c.def.example = c.example.c_str();
  c.def.flags = flags & (kCmdFlagUndoable | kCmdFlagToggle);
  void* found = nullptr;
  if (!QmFailed(QmQueryInterface(command, IID_IQmAttributes, &found)) && found != nullptr) {
    auto* attributes = static_cast<IQmAttributes*>(found);
    uint32_t count = attributes->vt->Count(attributes);
    for (uint32_t i = 0; i < count; ++i) {
      const char* argName = nullptr;
      const char* type = nullptr;
      if (QmFailed(attributes->vt->Name(attributes, i, &argName)) || argName == nullptr) break;
      c.texts.emplace_back(argName);
      ArgDef arg{c.texts.back().c_str(), "string", kArgOptional, nullptr, ""};
      if (!QmFailed(attributes->vt->TypeName(attributes, i, &type)) && type != nullptr &&
          FindValueType(type) != nullptr) {
        arg.type = FindValueType(type)->name;
      }
      uint32_t argFlags = 0;
      if (!QmFailed(command->vt->ArgFlags(command, i, &argFlags))) {
        arg.flags = argFlags & kArgOptional;
      }
      c.texts.emplace_back(
          TextOf([&](const char** text) { return command->vt->ArgUserName(command, i, text); }));
      arg.userName = c.texts.back().empty() ? arg.name : c.texts.back().c_str();
      c.texts.emplace_back(
          TextOf([&](const char** text) { return command->vt->ArgDesc(command, i, text); }));
      arg.desc = c.texts.back().c_str();
      c.def.args.push_back(arg);
    }
    QmRelease(attributes);
  }
  QmRelease(command);
  std::string key = name;
  c.def.execute = [key](CommandRun& run) { Execute(key, run); };
  return std::shared_ptr<const CommandDef>(made, &made->def);
}

}  // namespace

void AddPythonCommands(HostContext& context) {
  static thread_local bool busy = false;  // describing runs Python, which may look up again
  if (busy) return;
  size_t updates = context.PythonModuleUpdates();
  if (updates == context.pythonUpdatesSeen.load()) return;
  IQmModule* module = context.AcquireModule();
  if (module == nullptr) return;
  busy = true;
  // Several threads may read the list at once: each adds what is missing
  // (the table refuses a second command of a name), and the list counts as
  // seen only once it has been read, so that no thread looks a command up
  // before it is there.
  {
    PythonServers servers(module);
    for (const auto& server : servers.List()) {
      if (server.primary != IID_IQmCommand || context.Commands().Find(server.name, nullptr)) {
        continue;
      }
      if (auto def = Describe(servers, server.name)) context.Commands().Add(def);
    }
  }
  size_t seen = context.pythonUpdatesSeen.load();
  while (seen < updates && !context.pythonUpdatesSeen.compare_exchange_weak(seen, updates)) {
  }
  busy = false;
  QmRelease(module);
}

}  // namespace qmhost
