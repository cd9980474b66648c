#include "Report.h"

#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Conditions.h"
#include "Errors.h"
#include "Text.h"

namespace oscprobe_cli {

namespace {

std::string utcNow()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm tm;
    gmtime_r(&now.tv_sec, &tm);
    char buf[64];
    size_t n = strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    snprintf(buf + n, sizeof buf - n, ".%03ldZ", now.tv_nsec / 1000000);
    return buf;
}

} // namespace

void printAnswers(FILE* out, const std::vector<Answer>& answers)
{
    for (const Answer& a : answers) {
        fprintf(out, "%-10s %-6s %s", a.condition.c_str(), stateName(a.state),
                printable(a.message).c_str());
        if (a.state == Answer::NO_GO)
            fprintf(out, "  [%s]", hexCode(a.code).c_str());
        fputc('\n', out);
    }
}

nlohmann::ordered_json answerJson(const Answer& a)
{
    const bool noGo = a.state == Answer::NO_GO;
    nlohmann::ordered_json item;
    item["condition"] = a.condition;
    item["answer"] = stateName(a.state);
    item["code"] = noGo ? nlohmann::ordered_json(hexCode(a.code)) : nullptr;
    item["reason"] = noGo ? nlohmann::ordered_json(a.reason) : nullptr;
    item["figure"] = a.figure;
    item["figures"] = a.figures;
    item["message"] = a.message;
    return item;
}

std::string answersJson(const std::vector<Answer>& answers, double elapsedSeconds,
                        const std::string& job)
{
    nlohmann::ordered_json doc;
    doc["time"] = utcNow();
    doc["elapsed"] = static_cast<double>(static_cast<long long>(elapsedSeconds * 1000)) / 1000;
    doc["all_go"] = allGo(answers);
    if (!job.empty())
        doc["job"] = job;
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Answer& a : answers)
        list.push_back(answerJson(a));
    doc["conditions"] = std::move(list);
    return jsonText(doc);
}

std::string heldBackBy(const std::vector<Answer>& answers)
{
    std::string text;
    for (const Answer& a : answers)
        if (a.state != Answer::GO)
            text += (text.empty() ? "" : ", ") + a.condition + " (" + a.message + ")";
    return text;
}

bool allGo(const std::vector<Answer>& answers)
{
    return std::all_of(answers.begin(), answers.end(),
                       [](const Answer& a) { return a.state == Answer::GO; });
}

bool anyFailed(const std::vector<Answer>& answers)
{
    return std::any_of(answers.begin(), answers.end(),
                       [](const Answer& a) { return a.state == Answer::FAILED; });
}

int exitStatus(const std::vector<Answer>& answers)
{
    int status = EXIT_ALL_GO;
    for (const Answer& a : answers) {
        if (a.state == Answer::FAILED)
            status = EXIT_PROBE_FAILED;
        else if (a.state == Answer::NO_GO && status == EXIT_ALL_GO)
            status = EXIT_NO_GO;
    }
    return status;
}

} // namespace oscprobe_cli
