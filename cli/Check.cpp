// `oscprobe check`: every named condition, asked once.
#include <stdio.h>

#include <chrono>
#include <vector>

#include "Commands.h"
#include "Conditions.h"
#include "Report.h"

namespace oscprobe_cli {

int runCheck(const ConditionOptions& conditionOptions, bool json)
{
    const auto begin = std::chrono::steady_clock::now();
    ConditionSet conditions(conditionOptions, namedConditions(conditionOptions));
    const std::vector<Answer> answers = conditions.evaluate();
    if (json)
        printf("%s\n", answersJson(answers, std::chrono::duration<double>(
                                                std::chrono::steady_clock::now() - begin)
                                                .count())
                           .c_str());
    else
        printAnswers(stdout, answers);
    return exitStatus(answers);
}

} // namespace oscprobe_cli
