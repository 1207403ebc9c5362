#include "host/run.h"

#include "host/console.h"
#include "host/plugin.h"

#include <iostream>
#include <sstream>

namespace qmhost {

const std::vector<std::string> kRunLogSubsystems = {"scripts", "python"};

std::string JoinScriptArguments(const std::vector<std::string>& args) {
  std::string text;
  for (const auto& arg : args) {
    if (!text.empty()) text += ' ';
    bool quote = arg.empty() || arg.find_first_of(" \t") != std::string::npos;
    text += quote ? "\"" + arg + "\"" : arg;
  }
  return text;
}

std::string RefusedScriptArguments(const std::vector<std::string>& args) {
  for (const auto& arg : args) {
    if (arg.find('"') != std::string::npos) {
      return "the script argument '" + arg +
             "' holds a double quote, which the plug-in's argument text cannot carry "
             "(it splits at blanks and quotes and has no escape)";
    }
  }
  return {};
}

int RunScript(Application& app, IQmModule* module, Script& script, const std::string& argText,
              std::ostream& out, std::ostream& err, bool knownPython) {
  void* found = nullptr;
  QmResult rc = module->vt->Generate(module, "python", &IID_IQmTextScriptInterpreter, &found);
  if (QmFailed(rc) || found == nullptr) {
    err << "qmhost: no Python script interpreter ("
        << ResultCodeText(QmFailed(rc) ? rc : QMe_FAILED) << ")\n";
    return 1;
  }
  auto* interpreter = static_cast<IQmTextScriptInterpreter*>(found);

  // A script given as code is Python by the user's word; a file says so in
  // its first line.
  std::string firstLine = knownPython ? "python" : script.FirstLine();
  QmResult valid = interpreter->vt->ValidateFileType(interpreter, script.Face(), firstLine.c_str());
  if (valid != QMe_OK) {
    QmRelease(interpreter);
    err << "qmhost: " << script.Hash() << " is not a script the Python interpreter runs ("
        << ResultCodeText(valid) << ")\n";
    return 2;
  }

  Ref<Message> message = app.Messages().NewMessage();
  LogMark mark = app.Logs().Mark();
  QmResult result =
      interpreter->vt->Run(interpreter, script.Face(), 0, argText.c_str(), message->Face());
  QmRelease(interpreter);

  out << FormatLogEntries(app.Logs().EntriesSince(mark, kRunLogSubsystems));
  if (message->WasSet()) {
    std::string text;
    if (QmFailed(message->Text(&text))) {
      text = "(the host has no text for message " + std::to_string(message->Id()) + " of table \"" +
             message->Table() + "\")";
    }
    out << "message: " << text << "\n";
  }
  // Objects the run left in the message go back while their code is loaded.
  message->Reset();

  if (!QmFailed(result)) return 0;
  err << "result: " << ResultCodeText(result) << "\n";
  return 1;
}

int RunCommand(const RunOptions& options, std::ostream& out, std::ostream& err) {
  std::string error;
  Ref<Script> script;
  if (options.isCode) {
    script = Script::FromText(options.code, "-c", "<string>");
  } else if (options.file == "-") {
    std::ostringstream text;
    text << std::cin.rdbuf();
    script = Script::FromText(text.str(), "<stdin>", "<stdin>");
  } else {
    script = Script::FromFile(options.file, &error);
  }
  if (!script) {
    err << "qmhost: " << error << "\n";
    return 2;
  }
  Ref<Application> app;
  auto plugin = OpenPlugin(options, &app, err);
  if (!plugin) return 1;
  if (options.trace) {
    // Python starts here rather than in the run: what it wrote meanwhile.
    LogMark started = app->Logs().Mark();
    TracePlugin(plugin->Module(), err);
    out << FormatLogEntries(app->Logs().EntriesSince(started, kRunLogSubsystems));
  }
  int rc = RunScript(*app, plugin->Module(), *script, JoinScriptArguments(options.args), out, err,
                     options.isCode);
  // The script was made before the plug-in was loaded, so the live object
  // count does not cover it: only the host's own reference may remain.
  std::string kept;
  if (script->RefCount() != 1) {
    kept = "the plug-in kept " + std::to_string(script->RefCount() - 1) +
           " reference(s) to the script\n";
  }
  return ClosePlugin(*plugin, rc, err, kept);
}

std::unique_ptr<Plugin> OpenPlugin(const RunOptions& options, Ref<Application>* app,
                                   std::ostream& err) {
  *app = Ref<Application>(new Application);
  Application& a = **app;
  if (!options.scriptsDir.empty()) a.SetScriptsDir(options.scriptsDir);
  std::vector<std::string> paths = options.importPaths;
  if (!options.replaceImportPaths) {
    for (auto& path : a.ImportPaths()) paths.push_back(std::move(path));
  }
  // The servers folder is named to the plug-in by the "servers:" alias, and
  // is on the import path so that its modules import each other by name.
  if (!options.serversDir.empty()) a.SetServersDir(options.serversDir);
  paths.push_back(a.ServersDir());
  a.SetImportPaths(paths);
  a.Dialogs().SetView(options.progress);
  std::string error;
  auto plugin = Plugin::Load(options.pluginPath, a, &error);
  if (!plugin) err << "qmhost: " << error << "\n";
  return plugin;
}

int ClosePlugin(Plugin& plugin, int rc, std::ostream& err, std::string extraLeaks) {
  std::string leaks = plugin.Unload() + extraLeaks;
  if (!leaks.empty()) {
    err << "qmhost: error: the plug-in leaked host objects:\n" << leaks;
    if (rc == 0) rc = 3;
  }
  return rc;
}

bool TracePlugin(IQmModule* module, std::ostream& err) {
  IQmLineInterpreter* lines =
      NewLineInterpreter(module, err, "cannot trace: no Python line interpreter");
  if (lines == nullptr) return false;
  std::ostringstream said;  // the trace line that tracing is on
  Ref<LineExecution> exec(new LineExecution(said));
  QmResult rc = lines->vt->Execute(lines, "import qm; qm.trace(True)", 0, exec->Face());
  QmRelease(lines);
  if (QmFailed(rc)) {
    err << "qmhost: cannot trace: " << said.str() << "(" << ResultCodeText(rc) << ")\n";
    return false;
  }
  return true;
}

}  // namespace qmhost
