#include "app/action_commands.h"

#include <charconv>
#include <optional>

#include "app/station.h"
#include "engine/action/action.h"
#include "engine/action/action_field_edit.h"
#include "engine/action/action_form.h"

namespace brisko {

namespace {

struct Verb {
  const char* name;
  size_t minArgs;  // after the verb
  size_t maxArgs;
  int numbers;  // leading list positions (N, TO)
  bool edits;
};

constexpr size_t kMany = size_t(-1);

const Verb kVerbs[] = {
    {"list", 0, 0, 0, false},   {"show", 1, 1, 1, false},  {"add", 2, kMany, 0, true},
    {"set", 2, kMany, 1, true}, {"enable", 1, 1, 1, true}, {"disable", 1, 1, 1, true},
    {"move", 2, 2, 2, true},    {"remove", 1, 1, 1, true},
};

const Verb* FindVerb(const std::string& name) {
  for (const Verb& verb : kVerbs) {
    if (name == verb.name) return &verb;
  }
  return nullptr;
}

std::optional<int> ParsePosition(const std::string& text) {
  int n = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || p != text.data() + text.size() || n < 1) return std::nullopt;
  return n;
}

std::string Describe(int position, const Action& action) {
  return "action " + std::to_string(position) + ": " + action.GetDescription();
}

std::string ListLine(int position, const Action& action) {
  std::string line = std::to_string(position) + ". " + action.GetDescription() + ", " +
                     ScheduleTypeName(action.m_iScheduleType) + ", " +
                     (action.m_bEnabled ? "enabled" : "disabled") + ": " + action.m_strSourceFolder;
  if (action.m_iType != kDeleteFiles && action.m_iType != kDeleteSubfolders)
    line += " -> " + action.m_strDestFolder;
  return line + "\n";
}

ActionsReply Fail(int code, const std::string& text) {
  return ActionsReply{code, "", text + "\n"};
}

class Runner {
 public:
  Runner(Station& station, bool running) : m_station(station), m_running(running) {}

  ActionsReply Run(const std::vector<std::string>& args) {
    const std::string& verb = args[0];
    if (verb == "list") return List();
    std::optional<size_t> index;
    if (verb != "add") {
      index = Index(args[1]);
      if (!index) return m_failure;
    }
    if (verb == "show") return Show(*index);
    if (m_station.IsEditingActions())
      return Fail(
          1,
          "the actions are being edited in the window (Settings > Configure actions...); try again once "
          "it is closed");
    if (verb == "add") return Add(args);
    if (verb == "set") return Set(*index, Assignments(args, 2));
    if (verb == "enable" || verb == "disable")
      return Set(*index, {{"m_bEnabled", verb == "enable" ? "1" : "0"}});
    if (verb == "move") return Move(*index, args[2]);
    return Remove(*index);
  }

 private:
  std::optional<size_t> Index(const std::string& text) {
    const std::optional<int> n = ParsePosition(text);
    const size_t count = m_station.Actions().size();
    if (!n || size_t(*n) > count) {
      m_failure = Fail(1, "no action " + text + ": the station has " + std::to_string(count) + " action(s)" +
                              (count ? " (1 to " + std::to_string(count) + ")" : ""));
      return std::nullopt;
    }
    return size_t(*n - 1);
  }

  static std::vector<FieldAssignment> Assignments(const std::vector<std::string>& args, size_t from) {
    std::vector<FieldAssignment> fields;
    for (size_t i = from; i < args.size(); ++i) fields.push_back(*ParseFieldAssignment(args[i]));
    return fields;
  }

  ActionsReply List() {
    ActionsReply reply;
    const auto& actions = m_station.Actions();
    if (actions.empty()) reply.out = "No actions\n";
    for (size_t i = 0; i < actions.size(); ++i) reply.out += ListLine(int(i + 1), *actions[i]);
    return reply;
  }

  ActionsReply Show(size_t index) {
    const Action& action = *m_station.Actions()[index];
    ActionsReply reply;
    reply.out = "Action " + std::to_string(index + 1) + ": " + action.GetDescription() + "\n";
    for (const FieldLine& line : DescribeActionFields(action)) {
      reply.out += line.name + "=" + line.value + "\n";
      reply.out += "    " + line.meaning + (line.settable ? "" : " (not set from here)") + "\n";
    }
    return reply;
  }

  // The edit is made on a copy and checked there; only a whole, accepted edit reaches the list.
  ActionsReply Add(const std::vector<std::string>& args) {
    std::unique_ptr<Action> action = m_station.NewAction();
    // As the editor's Add: a new action keeps shots together.
    action->m_bKeepShotsTogether = 1;
    std::vector<FieldAssignment> fields = {{"m_iType", args[1]}, {"m_strName", args[2]}};
    for (const FieldAssignment& f : Assignments(args, 3)) fields.push_back(f);
    ActionForm form(*action);
    if (auto why = ApplyFieldAssignments(form, fields)) return Fail(1, *why);
    if (m_station.Actions().size() >= size_t(kMaxStoredActions))
      return Fail(1, "the station already has " + std::to_string(kMaxStoredActions) + " actions");
    Action& added = *action;
    m_station.AppendAction(std::move(action));
    m_station.ArmSchedule(added);
    return Done("Added", m_station.Actions().size() - 1);
  }

  ActionsReply Set(size_t index, const std::vector<FieldAssignment>& fields) {
    std::unique_ptr<Action> edited = m_station.NewAction();
    edited->CopyFrom(*m_station.Actions()[index]);
    ActionForm form(*edited);
    if (auto why = ApplyFieldAssignments(form, fields)) return Fail(1, *why);
    m_station.ApplyEditedAction(index, std::move(edited));
    return Done("Changed", index);
  }

  ActionsReply Move(size_t from, const std::string& toText) {
    const std::optional<size_t> to = Index(toText);
    if (!to) return m_failure;
    m_station.MoveAction(from, *to);
    return Done("Moved", *to);
  }

  ActionsReply Remove(size_t index) {
    const std::string what = Describe(int(index + 1), *m_station.Actions()[index]);
    m_station.RemoveAction(index);
    return Saved("Removed " + what);
  }

  ActionsReply Done(const char* verb, size_t index) {
    return Saved(std::string(verb) + " " + Describe(int(index + 1), *m_station.Actions()[index]));
  }

  ActionsReply Saved(const std::string& line) {
    m_station.SaveActions();
    ActionsReply reply;
    reply.out = line + "\n";
    if (m_running) {
      m_station.AddToLog(line + " (from the command line)");
      reply.out += "The running station takes the change from the action's next pass on.\n";
    }
    return reply;
  }

  Station& m_station;
  bool m_running;
  ActionsReply m_failure;
};

}  // namespace

const char* ActionsUsage() {
  return "brisko-workflow actions list | show N | add TYPE NAME [FIELD=VALUE]... | set N FIELD=VALUE... |\n"
         "                        enable N | disable N | move N TO | remove N";
}

std::string CheckActionsArguments(const std::vector<std::string>& args) {
  if (args.empty()) return std::string("actions needs what to do: ") + ActionsUsage();
  const Verb* verb = FindVerb(args[0]);
  if (!verb) return "actions: unknown request '" + args[0] + "': " + ActionsUsage();
  const size_t n = args.size() - 1;
  if (n < verb->minArgs || n > verb->maxArgs)
    return "actions " + args[0] + ": wrong number of values: " + ActionsUsage();
  for (int i = 1; i <= verb->numbers; ++i) {
    if (!ParsePosition(args[size_t(i)]))
      return "actions " + args[0] + ": '" + args[size_t(i)] + "' is not an action number (1, 2, ...)";
  }
  const size_t firstField = args[0] == "add" ? 3 : args[0] == "set" ? 2 : args.size();
  for (size_t i = firstField; i < args.size(); ++i) {
    if (!ParseFieldAssignment(args[i]))
      return "actions " + args[0] + ": '" + args[i] + "' is not FIELD=VALUE";
  }
  return {};
}

bool ActionsArgumentsEdit(const std::vector<std::string>& args) {
  const Verb* verb = args.empty() ? nullptr : FindVerb(args[0]);
  return verb && verb->edits;
}

ActionsReply RunActionsCommand(Station& station, const std::vector<std::string>& args, bool running) {
  if (std::string why = CheckActionsArguments(args); !why.empty()) return Fail(2, why);
  return Runner(station, running).Run(args);
}

}  // namespace brisko
