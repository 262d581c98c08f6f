// client.h's message list against what is made from it (the server's table) and what is written
// beside it by hand (client.h's table of ids for people, the README), so that none can drift.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "server/server.h"
#include "tamsa/client.h"

namespace {

using tamsa::server::result_rule;

struct listed {
    int32_t id;
    std::string name;
    int words;
    result_rule rule;
};

const std::vector<listed> &messages() {
#define TAMSA_LISTED(name, words, answer) {TAMSA_##name, #name, words, result_rule::answer},
    static const std::vector<listed> list = {TAMSA_MESSAGES(TAMSA_LISTED)};
#undef TAMSA_LISTED
    return list;
}

std::string read_source(const char *path) {
    std::ifstream in(std::string(TAMSA_SOURCE_DIR) + "/" + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Prose with its line breaks as spaces (and a comment's leading " * " dropped), to find a phrase.
// (No std::regex: GCC 12 warns inside it under the sanitizers.)
std::string flowed(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n') {
            out += text[i];
            continue;
        }
        while (!out.empty() && out.back() == ' ') out.pop_back();
        size_t next = text.find_first_not_of(' ', i + 1);
        if (next != std::string::npos && text[next] == '*' && next + 1 < text.size() &&
            text[next + 1] == ' ') {
            next = text.find_first_not_of(' ', next + 1);
        }
        out += ' ';
        i = (next == std::string::npos ? text.size() : next) - 1;
    }
    return out;
}

// The digits at text[at] and on, as a number, with at moved past them; -1 when none.
int number_at(const std::string &text, size_t &at) {
    int value = -1;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = (value < 0 ? 0 : value * 10) + (text[at] - '0');
    }
    return value;
}

// "0 or 1": the ids that stop the server, as the README and client.h name them.
std::string stop_ids() {
    std::string text;
    for (const listed &m : messages()) {
        if (m.rule != result_rule::stop) continue;
        text += (text.empty() ? "" : " or ") + std::to_string(m.id);
    }
    return text;
}

TEST(ClientIds, TheServerServesEveryListedIdAsListedAndNoOther) {
    ASSERT_EQ(messages().size(), size_t(TAMSA_OP_COUNT));
    for (size_t n = 0; n < messages().size(); ++n) {
        const listed &m = messages()[n];
        EXPECT_EQ(m.id, int32_t(n)) << m.name << ": the list runs in the order of the ids";
        const tamsa::server::op_row *row = tamsa::server::find_op(m.id);
        ASSERT_NE(row, nullptr) << m.name;
        EXPECT_EQ(row->id, m.id);
        EXPECT_EQ(row->name, m.name);
        EXPECT_EQ(row->words, m.words) << m.name;
        EXPECT_EQ(row->rule, m.rule) << m.name;
        EXPECT_EQ(tamsa::server::stops_server(m.id), m.rule == result_rule::stop) << m.name;
    }
    for (int32_t id : {-1, int32_t(TAMSA_OP_COUNT), INT32_MAX, INT32_MIN}) {
        EXPECT_EQ(tamsa::server::find_op(id), nullptr) << id;
        EXPECT_FALSE(tamsa::server::stops_server(id)) << id;
    }
    EXPECT_EQ(stop_ids(), "0 or 1") << "the stops keep their ids";
}

// One row of the table for people in client.h's comment.
struct documented {
    int32_t id;
    std::string name, arguments, answer;
};

// The rows of the table headed "id  name  argument words  word 0 after", a row's continuation
// lines joined to it; columns are cut where the heading's words start.
std::vector<documented> documented_rows(const std::string &header) {
    std::vector<documented> rows;
    std::istringstream lines(header);
    std::string line;
    size_t name_at = 0, arguments_at = 0, answer_at = 0;
    while (std::getline(lines, line)) {
        if (line.find("argument words") != std::string::npos) {
            name_at = line.find("name");
            arguments_at = line.find("argument words");
            answer_at = line.find("word 0 after");
            break;
        }
    }
    if (answer_at == 0 || answer_at == std::string::npos) return rows;
    const auto column = [](const std::string &l, size_t from, size_t to) {
        if (from >= l.size()) return std::string();
        std::string text = l.substr(from, to == std::string::npos ? to : to - from);
        text.erase(0, text.find_first_not_of(' '));
        text.erase(text.find_last_not_of(' ') + 1);
        return text;
    };
    const auto join = [](std::string &into, const std::string &more) {
        if (!more.empty()) into += (into.empty() ? "" : " ") + more;
    };
    while (std::getline(lines, line)) {
        const std::string id = column(line, 0, name_at);
        const bool continued = !rows.empty() && id == "*" && line.size() > arguments_at &&
                               column(line, 0, arguments_at) == "*";
        if (continued) {
            join(rows.back().arguments, column(line, arguments_at, answer_at));
            join(rows.back().answer, column(line, answer_at, std::string::npos));
            continue;
        }
        size_t at = id.find_first_not_of("* ");
        const int number =
            id.rfind("* ", 0) == 0 && at != std::string::npos ? number_at(id, at) : -1;
        if (number < 0 || at != id.size()) break;
        rows.push_back({number, column(line, name_at, arguments_at),
                        column(line, arguments_at, answer_at),
                        column(line, answer_at, std::string::npos)});
    }
    return rows;
}

// The highest argument word a row names: "1 luma, 2 V, ..." or "5-7 three factors"; 0 for none.
int highest_word(const std::string &arguments) {
    int highest = 0;
    for (size_t start = 0; start != std::string::npos;) {
        size_t at = start;
        int word = number_at(arguments, at);
        if (word >= 0 && at < arguments.size() && arguments[at] == '-')
            word = number_at(arguments, ++at);
        if (word >= 0 && at < arguments.size() && arguments[at] == ' ')
            highest = std::max(highest, word);
        start = arguments.find(", ", start);
        if (start != std::string::npos) start += 2;
    }
    return highest;
}

std::string answer_of(result_rule rule) {
    switch (rule) {
        case result_rule::stop:
            return "123";
        case result_rule::unchanged:
            return "unchanged";
        case result_rule::zero:
            return "0";
        case result_rule::returned:
            return "new record or 0";
    }
    return "";
}

TEST(ClientIds, ClientHsTableForPeopleAndTheReadmeSayWhatTheListSays) {
    const std::string header = read_source("include/tamsa/client.h");
    ASSERT_FALSE(header.empty()) << "client.h not found under " << TAMSA_SOURCE_DIR;
    const std::vector<documented> rows = documented_rows(header);
    ASSERT_EQ(rows.size(), messages().size()) << "a row for each id";
    for (size_t n = 0; n < rows.size(); ++n) {
        const listed &m = messages()[n];
        EXPECT_EQ(rows[n].id, m.id) << m.name;
        EXPECT_EQ(rows[n].name, m.name);
        EXPECT_EQ(highest_word(rows[n].arguments), m.words) << m.name << ": " << rows[n].arguments;
        EXPECT_EQ(rows[n].answer, answer_of(m.rule)) << m.name;
    }
    EXPECT_NE(flowed(header).find("(id " + stop_ids() + ")"), std::string::npos)
        << "TAMSA_REFUSED names the stops";

    const std::string readme = flowed(read_source("README.md"));
    ASSERT_FALSE(readme.empty());
    const std::string range =
        "(`TAMSA_" + messages().front().name + "` to `TAMSA_" + messages().back().name + "`)";
    EXPECT_NE(readme.find("names every message id " + range), std::string::npos) << range;
    EXPECT_NE(readme.find("message " + stop_ids() + " is answered `TAMSA_REFUSED`"),
              std::string::npos);
}

// The parsing above, on rows whose faults it must see.
TEST(ClientIds, TheTableReaderSeesAMissingArgumentAndAWrongAnswer) {
    const std::string table =
        " *  id  name      argument words          word 0 after\n"
        " *   0  OP_A      none                    123\n"
        " *   1  OP_B      1 record, 2 width,      new record or 0\n"
        " *                3 height (216 bytes)\n"
        " *   2  OP_C      1 first, 5-7 factors    unchanged\n"
        " * The ids run from 0\n";
    const std::vector<documented> rows = documented_rows(table);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1].name, "OP_B");
    EXPECT_EQ(rows[1].arguments, "1 record, 2 width, 3 height (216 bytes)");
    EXPECT_EQ(highest_word(rows[0].arguments), 0);
    EXPECT_EQ(highest_word(rows[1].arguments), 3);
    EXPECT_EQ(highest_word(rows[2].arguments), 7);
    EXPECT_EQ(rows[1].answer, answer_of(result_rule::returned));
    EXPECT_NE(rows[2].answer, answer_of(result_rule::zero));
}

}  // namespace
