// Report: how `check`, `wait` and `run` show a set of answers: aligned lines
// for people, one JSON object per line for programs; and the one JSON form of
// an answer, `status`'s too. Called on the main
// thread only.
#ifndef OSCPROBE_CLI_REPORT_H
#define OSCPROBE_CLI_REPORT_H

#include <stdio.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Conditions.h"

namespace oscprobe_cli {

// One line per condition: name, answer, explanation and, on no-go, the
// library's reason code.
void printAnswers(FILE* out, const std::vector<Answer>& answers);

// One answer as every command's JSON shows it: condition, answer ("go",
// "no-go", "error"), code and reason (null but on no-go), figure (null when
// there is none), figures (an object, maybe empty) and message.
nlohmann::ordered_json answerJson(const Answer& answer);

// One evaluation as a single-line JSON object: the wall-clock time, the
// seconds since the command began, the state of the job of `run --hold`
// when given ("running", "held: ...", "resumed"), and each condition's
// answer.
std::string answersJson(const std::vector<Answer>& answers, double elapsedSeconds,
                        const std::string& job = std::string());

// The conditions that still say no-go (or failed), for the live status
// line: "cpu (CPU usage 93% is above 80%), ac (on battery power)".
std::string heldBackBy(const std::vector<Answer>& answers);

bool allGo(const std::vector<Answer>& answers);
bool anyFailed(const std::vector<Answer>& answers);

// What one evaluation ends a command with: 3 when some probe failed, else 1
// when some condition said no-go, else 0.
int exitStatus(const std::vector<Answer>& answers);

} // namespace oscprobe_cli

#endif
