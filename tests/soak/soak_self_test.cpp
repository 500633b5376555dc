// Self-test of the parsing every verdict of the soak rests on.
#include <cstdio>

#include "tests/soak/soak_logs.h"

bool SoakSelfTest() {
    int failures = 0;
    auto expect = [&failures](bool ok, const std::string& what) {
        if (!ok) {
            printf("self-test FAILED: %s\n", what.c_str());
            failures++;
        }
    };
    struct StringCase {
        const char* line;
        const char* key;
        bool found;
        std::string value;
    } strings[] = {
        {"{\"reply\": \"1 150.25 3.10 0\"}", "reply", true, "1 150.25 3.10 0"},
        {"{\"reply\": \"1 a\\nb\\r\\tc\"}", "reply", true, "1 a\nb\r\tc"},
        {"{\"reply\": \"say \\\"hi\\\" \\\\ bye\"}", "reply", true, "say \"hi\" \\ bye"},
        {"{\"reply\": \"\\u0001x\\u007f\"}", "reply", true, "\x01x\x7f"},
        {"{\"reply\": \"Баланс\"}", "reply", true, "Баланс"},
        {"{\"reply\": \"cut", "reply", false, ""},
        {"{\"reply\": \"ends in \\", "reply", false, ""},
        {"{\"reply\": \"\\u12\"}", "reply", false, ""},
        {"{\"verb\": \"PING\"}", "reply", false, ""},
        {"{\"t\": 1.0, \"fault\": \"none\", \"reply\": \"0\"}", "fault", true, "none"},
    };
    for (const StringCase& c : strings) {
        std::string value;
        bool found = JsonField(c.line, c.key, &value);
        expect(found == c.found && (!found || value == c.value),
               std::string("JSON string in ") + c.line + ": got \"" + value + "\"");
    }
    std::vector<std::string> fields;
    expect(JsonList("{\"fields\": [\"PING\", \"a, b\", \"q\\\"\", \"\"]}", "fields", &fields) &&
               fields == std::vector<std::string>({"PING", "a, b", "q\"", ""}),
           "JSON list with a comma, a quote and an empty string");
    expect(!JsonList("{\"fields\": [\"PING\", \"cut", "fields", &fields), "cut JSON list");

    // Debug lines as the agent writes them, and the attempts they make.
    AgentOutput out;
    for (const char* line :
         {"Трей: Отключен", "Полученные данные: stray", kAttemptLine, "Полученные данные: 3 7 1800",
          kHoverLine, kAttemptLine, "Полученные данные: 1 150.25 3.10 0", "Баланс: 150.25",
          kAttemptLine, kAttemptLine, "Сетевая ошибка, причина: Network timeout", kAttemptLine}) {
        out.Take(line);
    }
    expect(out.attempts.size() == 5, "five attempts");
    expect(out.attempts[0].received && out.attempts[0].reply == "3 7 1800" &&
               !out.attempts[0].hover,
           "a reply before any attempt is not counted; the first attempt's reply");
    expect(out.attempts[1].hover && out.attempts[1].reply == "1 150.25 3.10 0",
           "the hover line marks the attempt after it");
    expect(!out.attempts[2].received && out.Finished(2),
           "an attempt followed by another is finished (a silent timeout)");
    expect(out.attempts[3].error == "Network timeout" && out.Finished(3) && out.networkErrors == 1,
           "a network error ends its attempt");
    expect(!out.Finished(4) && !out.Finished(5), "the last attempt is still in flight");

    // A reply with line feeds arrives as one debug line with them escaped; its first line counts.
    AgentOutput escaped;
    escaped.Take(kAttemptLine);
    escaped.Take("Полученные данные: 1 Баланс: 150.25\\x0aЗа сессию: 3.10\\x0");
    expect(escaped.attempts.size() == 1 && escaped.attempts[0].reply == "1 Баланс: 150.25",
           "an escaped line feed ends the reply's first line");
    expect(UnescapeControls("a\\x7f\\x0\\xzz\\") == "a\x7f\\x0\\xzz\\",
           "only complete escapes are turned back");
    printf("self-test %s\n", failures == 0 ? "passed" : "failed");
    return failures == 0;
}
