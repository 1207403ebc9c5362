// The host's commands.
//
//   command                      arguments (type; ? = queryable)
//   item.create TYPE [NAME]      type string, name string
//   select.item NAME [ADD]       name string ?, add boolean
//   select.clear
//   item.rename NAME             name string
//   item.move [X] [Y] [Z]        x y z distance ?
//   item.rotate ANGLE            angle angle ?
//   select.mode MODE             mode string ?  (toggle)
//   view.detail LEVEL            level integer ? (hints low/medium/high; toggle)
//   scene.count [COUNT] [TYPE]   count integer ? (only queried), type string
//   render.frame [FRAME]         frame integer
//   scene.undo
//   script.run FILE [ARGS]       file string, args string ("@FILE ARGS")
#include <unistd.h>

#include <algorithm>

#include "host/commands.h"
#include "host/script.h"
#include "qm_ifc_module.h"

namespace qmhost {

namespace {

const QmTextValueHint kDetailHints[] = {{0, "low"}, {1, "medium"}, {2, "high"}, {0, nullptr}};

bool IsItemType(const std::string& type) {
  const auto& types = ItemTypes();
  return std::find(types.begin(), types.end(), type) != types.end();
}

// Enabled when something is selected.
bool NeedsSelection(CommandRun& run) {
  bool any = run.GetScene().Read([](const SceneState& s) { return !s.Selected().empty(); });
  if (!any) run.Fail(QMe_CMD_DISABLED, kTextNothingSelected, {run.Def().name});
  return any;
}

// Enabled when exactly one item is selected.
bool NeedsOneSelected(CommandRun& run, const SceneState& s) {
  size_t n = s.Selected().size();
  if (n != 1) run.Fail(QMe_CMD_DISABLED, kTextSelectOne, {std::to_string(n)});
  return n == 1;
}

void CreateItem(CommandRun& run) {
  std::string type = run.String(0);
  std::string name = run.String(1);
  if (!IsItemType(type)) return run.Fail(QMe_INVALIDARG, kTextBadItemType, {type});
  if (run.Has(1) && name.empty()) return run.Fail(QMe_INVALIDARG, kTextEmptyName);
  run.Change([&](SceneState& s) {
    if (s.Create(type, name, run.Has(1)) == QMe_OK) return true;
    run.Fail(QMe_ALREADYEXISTS, kTextItemExists, {name});
    return false;
  });
}

void RenameItem(CommandRun& run) {
  std::string name = run.String(0);
  if (name.empty()) return run.Fail(QMe_INVALIDARG, kTextEmptyName);
  run.Change([&](SceneState& s) {
    if (!NeedsOneSelected(run, s)) return false;
    Item* item = s.Selected()[0];
    const Item* other = s.Find(name);
    if (other != nullptr && other != item) {
      run.Fail(QMe_ALREADYEXISTS, kTextItemExists, {name});
      return false;
    }
    item->name = name;
    return true;
  });
}

// Values of the selected items: one per item, in selection order.
template <class F>
std::vector<Value> PerSelected(CommandRun& run, F value) {
  return run.GetScene().Read([&](const SceneState& s) {
    std::vector<Value> values;
    for (const Item* item : s.Selected()) values.push_back(value(*item));
    return values;
  });
}

// The script named by a relative path is looked for in the current folder,
// then in the scripts folder.  Empty when it is in neither.
std::string LocateScript(const std::string& file, const std::string& scriptsDir) {
  if (!file.empty() && file[0] == '/') return file;
  if (access(file.c_str(), F_OK) == 0) return file;
  std::string inScripts = scriptsDir + "/" + file;
  if (!scriptsDir.empty() && access(inScripts.c_str(), F_OK) == 0) return inScripts;
  return std::string();
}

void RunScriptFile(CommandRun& run) {
  std::string file = run.String(0);
  std::string scriptsDir = run.Context().ScriptsDir();
  std::string path = LocateScript(file, scriptsDir);
  if (path.empty()) {
    return run.Fail(QMe_NOTFOUND, kTextScriptNotFound,
                    {file, scriptsDir.empty() ? "the scripts folder" : scriptsDir});
  }
  std::string error;
  Ref<Script> script = Script::FromFile(path, &error);
  if (!script) return run.Fail(QMe_IO_ERROR, kTextScriptUnreadable, {error});

  IQmModule* module = run.Context().AcquireModule();
  if (module == nullptr) return run.Fail(QMe_NOTAVAILABLE, kTextNoInterpreter);
  void* found = nullptr;
  QmResult rc = module->vt->Generate(module, "python", &IID_IQmTextScriptInterpreter, &found);
  if (QmFailed(rc) || found == nullptr) {
    QmRelease(module);
    return run.Fail(QMe_NOTAVAILABLE, kTextNoInterpreter);
  }
  auto* interpreter = static_cast<IQmTextScriptInterpreter*>(found);
  std::string firstLine = script->FirstLine();
  if (interpreter->vt->ValidateFileType(interpreter, script->Face(), firstLine.c_str()) != QMe_OK) {
    run.Fail(QMe_SCRIPT_UNKNOWN, kTextNotPython, {script->Hash()});
  } else {
    std::string args = run.String(1);
    rc = interpreter->vt->Run(interpreter, script->Face(), static_cast<int32_t>(run.Flags()),
                              args.c_str(), run.MessageObject());
    run.SetCode(rc);
  }
  QmRelease(interpreter);
  QmRelease(module);
}

std::vector<CommandDef> MakeCommands() {
  std::vector<CommandDef> commands;

  CommandDef create{"item.create", "Create Item",
                    "Makes an item at the origin and selects it alone.", "item.create mesh box",
                    kCmdFlagUndoable};
  create.args = {
      {"type", "string", 0, "Type", "The item's type: mesh, light, camera or locator."},
      {"name", "string", kArgOptional, "Name",
       "The item's name; by default its type followed by the lowest free number."},
  };
  create.execute = CreateItem;
  commands.push_back(create);

  CommandDef select{"select.item", "Select Item",
                    "Selects an item alone, or adds it to the selection.",
                    "select.item box add:true", 0};
  select.args = {
      {"name", "string", kArgQueryable, "Name",
       "The item's name.  Queried: the names of the selected items."},
      {"add", "boolean", kArgOptional, "Add", "Add the item to the selection."},
  };
  select.execute = [](CommandRun& run) {
    std::string name = run.String(0);
    bool add = run.Int(1) != 0;
    run.Change([&](SceneState& s) {
      if (s.Select(name, add) == QMe_OK) return true;
      run.Fail(QMe_NOTFOUND, kTextNoSuchItem, {name});
      return false;
    });
  };
  select.query = [](CommandRun& run, size_t, std::vector<Value>* out) {
    *out = PerSelected(run, [](const Item& item) { return Value::String(item.name); });
    return QMe_OK;
  };
  commands.push_back(select);

  CommandDef clear{"select.clear", "Clear Selection", "Selects nothing.", "select.clear", 0};
  clear.execute = [](CommandRun& run) {
    run.Change([](SceneState& s) {
      s.selection.clear();
      return true;
    });
  };
  commands.push_back(clear);

  CommandDef rename{"item.rename", "Rename Item", "Renames the selected item.",
                    "item.rename \"front light\"", kCmdFlagUndoable};
  rename.args = {{"name", "string", 0, "Name", "The item's new name."}};
  rename.enable = [](CommandRun& run) {
    return run.GetScene().Read([&](const SceneState& s) { return NeedsOneSelected(run, s); });
  };
  rename.execute = RenameItem;
  commands.push_back(rename);

  CommandDef move{"item.move", "Move Items", "Moves the selected items by a distance.",
                  "item.move 1 0 -50cm", kCmdFlagUndoable};
  move.args = {
      {"x", "distance", kArgOptional | kArgQueryable, "X",
       "Distance along X.  Queried: the selected items' X positions."},
      {"y", "distance", kArgOptional | kArgQueryable, "Y",
       "Distance along Y.  Queried: the selected items' Y positions."},
      {"z", "distance", kArgOptional | kArgQueryable, "Z",
       "Distance along Z.  Queried: the selected items' Z positions."},
  };
  move.enable = NeedsSelection;
  move.execute = [](CommandRun& run) {
    double by[3] = {run.Float(0), run.Float(1), run.Float(2)};
    run.Change([&](SceneState& s) {
      for (Item* item : s.Selected()) {
        for (int axis = 0; axis < 3; ++axis) item->position[axis] += by[axis];
      }
      return true;
    });
  };
  move.query = [](CommandRun& run, size_t axis, std::vector<Value>* out) {
    *out = PerSelected(run, [axis](const Item& item) { return Value::Float(item.position[axis]); });
    return QMe_OK;
  };
  commands.push_back(move);

  CommandDef rotate{"item.rotate", "Rotate Items", "Turns the selected items by an angle.",
                    "item.rotate 90deg", kCmdFlagUndoable};
  rotate.args = {{"angle", "angle", kArgQueryable, "Angle",
                  "The angle to add.  Queried: the selected items' rotations."}};
  rotate.enable = NeedsSelection;
  rotate.execute = [](CommandRun& run) {
    double by = run.Float(0);
    run.Change([&](SceneState& s) {
      for (Item* item : s.Selected()) item->rotation += by;
      return true;
    });
  };
  rotate.query = [](CommandRun& run, size_t, std::vector<Value>* out) {
    *out = PerSelected(run, [](const Item& item) { return Value::Float(item.rotation); });
    return QMe_OK;
  };
  commands.push_back(rotate);

  CommandDef mode{"select.mode", "Selection Mode", "Selects whole items or edits their parts.",
                  "select.mode edit", kCmdFlagToggle};
  mode.args = {{"mode", "string", kArgQueryable, "Mode", "\"item\" or \"edit\"."}};
  mode.toggle = 0;
  mode.execute = [](CommandRun& run) {
    std::string value = run.String(0);
    if (value != "item" && value != "edit") return run.Fail(QMe_INVALIDARG, kTextBadMode, {value});
    run.Change([&](SceneState& s) {
      s.mode = value;
      return true;
    });
  };
  mode.query = [](CommandRun& run, size_t, std::vector<Value>* out) {
    out->push_back(run.GetScene().Read([](const SceneState& s) { return Value::String(s.mode); }));
    return QMe_OK;
  };
  commands.push_back(mode);

  CommandDef detail{"view.detail", "Viewport Detail",
                    "Sets how much detail the viewport draws: 0 to 9, with 0, 1 and 2 named.",
                    "view.detail high", kCmdFlagToggle};
  detail.args = {{"level", "integer", kArgQueryable, "Level",
                  "low (0), medium (1), high (2), or a finer level up to 9.", kDetailHints}};
  detail.toggle = 0;
  detail.execute = [](CommandRun& run) {
    int32_t level = run.Int(0);
    if (level < kMinDetail || level > kMaxDetail) {
      return run.Fail(QMe_INVALIDARG, kTextBadDetail, {std::to_string(level)});
    }
    run.Change([&](SceneState& s) {
      s.detail = level;
      return true;
    });
  };
  detail.query = [](CommandRun& run, size_t, std::vector<Value>* out) {
    out->push_back(run.GetScene().Read([](const SceneState& s) { return Value::Int(s.detail); }));
    return QMe_OK;
  };
  commands.push_back(detail);

  CommandDef count{"scene.count", "Count Items", "Queried, counts the items, or those of one type.",
                   "scene.count ? light", 0};
  count.args = {
      {"count", "integer", kArgOptional | kArgQueryable, "Count",
       "Only queried: the number of items."},
      {"type", "string", kArgOptional, "Type", "Count only the items of this type."},
  };
  count.execute = [](CommandRun&) {};  // the command is there to be queried
  count.query = [](CommandRun& run, size_t, std::vector<Value>* out) {
    std::string type = run.String(1);
    if (run.Has(1) && !IsItemType(type)) return QMe_INVALIDARG;
    out->push_back(run.GetScene().Read([&](const SceneState& s) {
      auto n = std::count_if(s.items.begin(), s.items.end(),
                             [&](const Item& item) { return type.empty() || item.type == type; });
      return Value::Int(static_cast<int32_t>(n));
    }));
    return QMe_OK;
  };
  commands.push_back(count);

  CommandDef render{"render.frame", "Render Frame", "Renders a frame, given a renderer.",
                    "render.frame 12", 0};
  render.args = {{"frame", "integer", kArgOptional, "Frame", "The frame; 1 by default."}};
  render.execute = [](CommandRun& run) {
    run.Fail(QMe_NOTAVAILABLE, kTextNoRenderer, {std::to_string(run.Int(0, 1))});
  };
  commands.push_back(render);

  CommandDef undo{"scene.undo", "Undo", "Takes back the last recorded change.", "scene.undo", 0};
  undo.enable = [](CommandRun& run) {
    bool any = !run.GetScene().UndoLabels().empty();
    if (!any) run.Fail(QMe_CMD_DISABLED, kTextNothingToUndo);
    return any;
  };
  undo.execute = [](CommandRun& run) {
    if (!run.GetScene().Undo(nullptr)) run.Fail(QMe_CMD_DISABLED, kTextNothingToUndo);
  };
  commands.push_back(undo);

  CommandDef script{"script.run", "Run Script",
                    "Runs a Python script file with the loaded plug-in's interpreter.",
                    "script.run tools/build.py \"one two\"", 0};
  script.args = {
      {"file", "string", 0, "File",
       "The script; a relative path is looked for in the current folder, then in the scripts "
       "folder."},
      {"args", "string", kArgOptional, "Arguments", "The script's argument text."},
  };
  script.execute = RunScriptFile;
  commands.push_back(script);

  return commands;
}

}  // namespace

const std::vector<CommandDef>& HostCommands() {
  static const std::vector<CommandDef> commands = MakeCommands();
  return commands;
}

}  // namespace qmhost
