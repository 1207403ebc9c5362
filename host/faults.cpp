#include "host/faults.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "host/messages.h"

namespace qmhost {

std::atomic<bool> Faults::armed_{false};

namespace {

thread_local int tOwnCalls = 0;
std::mutex gLock;
std::vector<FaultPoint> gPoints;
std::map<std::string, Faults::Calls> gCalls;

bool ParseCode(const std::string& text, QmResult* code) {
  if (text.empty()) return false;
  if (std::isdigit(static_cast<unsigned char>(text[0]))) {
    char* end = nullptr;
    unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (*end != '\0' || value > 0xFFFFFFFFUL) return false;
    *code = static_cast<QmResult>(value);
    return true;
  }
  std::string name = text.compare(0, 4, "QMe_") == 0 ? text.substr(4) : text;
  for (const auto& entry : kQmResultRegistry) {
    if (name == entry.name) {
      *code = entry.code;
      return true;
    }
  }
  return false;
}

bool ParsePoint(const std::string& text, FaultPoint* point, std::string* error) {
  size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || text.find('.') > colon) {
    *error = "\"" + text + "\" is not METHOD:N[:CODE|:null] (METHOD is Interface.Method)";
    return false;
  }
  point->method = text.substr(0, colon);
  std::string rest = text.substr(colon + 1);
  size_t next = rest.find(':');
  std::string number = rest.substr(0, next);
  char* end = nullptr;
  point->call = std::strtoul(number.c_str(), &end, 10);
  if (number.empty() || *end != '\0' || point->call == 0 || number[0] == '-') {
    *error = "\"" + text + "\": the call that fails is a number from 1";
    return false;
  }
  point->answer = QmFault{};
  if (next == std::string::npos) return true;
  std::string answer = rest.substr(next + 1);
  if (answer == "null") {
    point->answer.null = true;
  } else if (!ParseCode(answer, &point->answer.code)) {
    *error = "\"" + text + "\": " + answer + " is neither a result code nor null";
    return false;
  }
  return true;
}

}  // namespace

bool ParseFaultPoints(const std::string& text, std::vector<FaultPoint>* points,
                      std::string* error) {
  std::vector<FaultPoint> parsed;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    FaultPoint point;
    if (!ParsePoint(text.substr(start, comma - start), &point, error)) return false;
    parsed.push_back(point);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  *points = std::move(parsed);
  return true;
}

void Faults::Arm(std::vector<FaultPoint> points) {
  std::lock_guard<std::mutex> hold(gLock);
  gPoints = std::move(points);
  gCalls.clear();
  armed_.store(true);
}

void Faults::Disarm() {
  armed_.store(false);
  std::lock_guard<std::mutex> hold(gLock);
  gPoints.clear();
}

OwnCalls::OwnCalls() { ++tOwnCalls; }
OwnCalls::~OwnCalls() { --tOwnCalls; }

bool Faults::Count(const char* method, QmFaultAnswers answers, QmFault* answer) {
  if (tOwnCalls > 0) return false;
  std::lock_guard<std::mutex> hold(gLock);
  Calls& calls = gCalls[method];
  calls.answers = answers;
  unsigned long call = ++calls.count;
  for (auto& point : gPoints) {
    if (point.call == call && point.method == method &&
        (!point.answer.null || answers != QmFaultAnswers::kCode)) {
      point.fired = true;
      *answer = point.answer;
      return true;
    }
  }
  return false;
}

std::map<std::string, Faults::Calls> Faults::Counted() {
  std::lock_guard<std::mutex> hold(gLock);
  return gCalls;
}

std::vector<FaultPoint> Faults::Points() {
  std::lock_guard<std::mutex> hold(gLock);
  return gPoints;
}

std::string Faults::Report() {
  std::lock_guard<std::mutex> hold(gLock);
  std::string report;
  for (const auto& point : gPoints) {
    std::string name = point.method + ":" + std::to_string(point.call);
    if (point.fired) {
      report += "fault " + name + " answered " +
                (point.answer.null ? std::string("null") : ResultCodeText(point.answer.code)) +
                "\n";
    } else {
      auto it = gCalls.find(point.method);
      if (point.answer.null && it != gCalls.end() &&
          it->second.answers == QmFaultAnswers::kCode) {
        report += "fault " + name + ":null does not apply: the method hands out no object\n";
      } else {
        report += "fault " + name + " not reached (" +
                  std::to_string(it != gCalls.end() ? it->second.count : 0) + " calls)\n";
      }
    }
  }
  return report;
}

}  // namespace qmhost
