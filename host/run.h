// Running a script file through the plug-in's Python script interpreter,
// as `qmhost run` does.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "host/application.h"
#include "host/plugin.h"
#include "host/script.h"

namespace qmhost {

// The log subsystems whose entries a run prints.
extern const std::vector<std::string> kRunLogSubsystems;

// Joins script arguments into one text with single spaces; an argument
// that is empty or holds a space or tab is put in double quotes.
std::string JoinScriptArguments(const std::vector<std::string>& args);

// Runs `script` with the "python" TextScriptInterpreter server of `module`:
// checks the script's first line with ValidateFileType, runs it with
// `argText` and a new message, then prints to `out` the entries the run
// added to the "scripts" and "python" logs and the message it set.
// Returns the exit status: 0 when the run succeeded, 1 when it failed or
// there is no interpreter (explained on `err`), 2 when the interpreter
// refuses the file.  A script known to be Python (code given on the
// command line) is validated as such whatever its first line says.
int RunScript(Application& app, IQmModule* module, Script& script, const std::string& argText,
              std::ostream& out, std::ostream& err, bool knownPython = false);

struct RunOptions {
  std::string pluginPath;
  std::string file;  // "-": the script is read from standard input
  bool isCode = false;  // `code` is the script (qmhost -c)
  std::string code;
  std::vector<std::string> args;
  std::string scriptsDir;  // empty: the application's default
  // Folders Python imports from before the application's default ones (the
  // standard library), in this order; with replaceImportPaths instead of
  // them.
  bool replaceImportPaths = false;
  std::vector<std::string> importPaths;
  // The folder of Python server modules ("servers:"), also added to the
  // import paths; empty: the scripts folder's "servers" subfolder.
  std::string serversDir;
  std::shared_ptr<ProgressView> progress;  // where monitors show; null: nowhere
  bool trace = false;  // the plug-in traces what it does for the run
};

// Why a list of script arguments cannot be handed to the plug-in, or
// empty when it can.  The plug-in splits the argument text at blanks and
// quotes without an escape character, so an argument with a double quote
// in it would not come back as it was given.
std::string RefusedScriptArguments(const std::vector<std::string>& args);

// A new application set up as the options say, with the plug-in loaded
// into it.  Null (the reason on `err`) when the plug-in cannot be loaded.
std::unique_ptr<Plugin> OpenPlugin(const RunOptions& options, Ref<Application>* app,
                                   std::ostream& err);

// Turns the plug-in's tracing on, as a user would at the console: the
// line "qm.trace(True)" through the plug-in's line interpreter, in its root
// interpreter (which starts Python).  The plug-in then traces its qm calls
// there and every call into a Python server, reporting the exceptions of
// server methods.  False, with the reason on `err`, when it cannot.
bool TracePlugin(IQmModule* module, std::ostream& err);

// Unloads the plug-in; whatever it did not give back is reported on `err`
// and turns a zero `rc` into 3.
int ClosePlugin(Plugin& plugin, int rc, std::ostream& err, std::string extraLeaks = {});

// The whole `qmhost run` command: reads the file (2 when it cannot),
// loads the plug-in (1 when it cannot), runs the script, unloads the
// plug-in and reports whatever it did not give back (3 when the run itself
// succeeded).
int RunCommand(const RunOptions& options, std::ostream& out, std::ostream& err);

}  // namespace qmhost
