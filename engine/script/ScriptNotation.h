#pragma once

// Rule programs written in a compact notation and built into RuntimeEntity messages through the
// message accessors, for tests and benchmarks.
//
// Notation:
//   "text"           string literal (\" \\ \n and \xNN for raw bytes)
//   12  -1.5e3  NaN  Infinity  -Infinity     number literal
//   true  false      boolean literal
//   (name arg ...)   statement; the words below stand for their opcodes, any other word is the
//                    name itself ("require", "f", "11")
//   {T arg ...}      an entity of type T (no number: no type field) with these arguments and no
//                    other field; {4} is a statement without a name, {2} a number without value
// Several top-level entities form a program.

#include <charconv>
#include <cstdint>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/messages/KLVPBMessages.h"
#include "engine/messages/NANOAccessors.h"

namespace engine::testing {

inline const std::map<std::string, std::string, std::less<>>& opcodeWords() {
    static const std::map<std::string, std::string, std::less<>> words = {
        {"call", "2"},   {"assign", "3"},  {"break", "4"},   {"run", "5"},     {"continue", "6"},
        {"array", "7"},  {"object", "8"},  {"run9", "9"},    {"seq", "13"},    {"var", "15"},
        {"get", "16"},   {"get17", "17"},  {"if", "22"},     {"return", "36"}, {"switch", "38"},
        {"cond", "39"},  {"typeof", "40"}, {"let", "41"},    {"set", "43"},    {"undefined", "44"},
        {"null", "45"},  {"stmts", "46"},  {"def", "50"},    {"fn", "51"},     {"const", "52"},
        {"block", "53"}, {"add", "0"},     {"and", "1"},     {"div", "10"},    {"eq", "12"},
        {"gt", "18"},    {"ge", "19"},     {"seq=", "20"},   {"sne", "21"},    {"lt", "23"},
        {"le", "24"},    {"mod", "25"},    {"mul", "26"},    {"neg", "27"},    {"not", "28"},
        {"ne", "29"},    {"or", "30"},     {"first", "32"},  {"pass", "34"},   {"sub", "37"},
        {"band", "56"},  {"shl", "57"},    {"bnot", "58"},   {"bor", "59"},    {"shr", "60"},
        {"ushr", "61"},  {"bxor", "62"},   {"while", "42"},  {"forin=", "47"}, {"forinc", "54"},
        {"forin", "55"}, {"for", "63"},    {"forof=", "64"}, {"forofc", "65"}, {"forof", "66"},
    };
    return words;
}

class EntityReader {
  public:
    explicit EntityReader(std::string_view text) : text_(text) {}

    std::vector<KLVPBRuntimeEntity> readAll() {
        std::vector<KLVPBRuntimeEntity> out;
        for (skipBlanks(); pos_ < text_.size(); skipBlanks())
            out.push_back(read());
        return out;
    }

  private:
    static KLVPBRuntimeEntity typed(std::int32_t type) {
        KLVPBRuntimeEntity entity;
        NANOSetInt32(entity, KLVPBRuntimeEntity::type, type);
        return entity;
    }

    void skipBlanks() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n'))
            ++pos_;
    }

    std::string_view word() {
        const std::size_t start = pos_;
        while (pos_ < text_.size() &&
               std::string_view(" \n(){}\"").find(text_[pos_]) == std::string_view::npos)
            ++pos_;
        return text_.substr(start, pos_ - start);
    }

    std::vector<KLVPBRuntimeEntity> readUntil(char close) {
        std::vector<KLVPBRuntimeEntity> items;
        for (skipBlanks(); pos_ < text_.size() && text_[pos_] != close; skipBlanks())
            items.push_back(read());
        if (pos_ >= text_.size()) throw std::invalid_argument("unclosed notation");
        ++pos_;
        return items;
    }

    KLVPBRuntimeEntity readString() {
        std::string value;
        for (++pos_; pos_ < text_.size() && text_[pos_] != '"'; ++pos_) {
            if (text_[pos_] != '\\') {
                value.push_back(text_[pos_]);
                continue;
            }
            const char escaped = text_[++pos_];
            if (escaped == 'n') {
                value.push_back('\n');
            } else if (escaped == 'x') {
                unsigned byte = 0;
                std::from_chars(text_.data() + pos_ + 1, text_.data() + pos_ + 3, byte, 16);
                value.push_back(static_cast<char>(byte));
                pos_ += 2;
            } else {
                value.push_back(escaped);
            }
        }
        ++pos_;
        KLVPBRuntimeEntity entity = typed(1);
        NANOSetString(entity, KLVPBRuntimeEntity::string_value, value);
        return entity;
    }

    KLVPBRuntimeEntity read() {
        const char c = text_[pos_];
        if (c == '"') return readString();
        if (c == '(') {
            ++pos_;
            std::string_view name = word();
            if (const auto it = opcodeWords().find(name); it != opcodeWords().end())
                name = it->second;
            KLVPBRuntimeEntity entity = typed(4);
            NANOSetString(entity, KLVPBRuntimeEntity::function_name, name);
            NANOSetArray(entity, KLVPBRuntimeEntity::value, readUntil(')'));
            return entity;
        }
        if (c == '{') {
            ++pos_;
            skipBlanks();
            KLVPBRuntimeEntity entity;
            const std::string_view type = word();
            if (!type.empty()) entity = typed(std::stoi(std::string(type)));
            NANOSetArray(entity, KLVPBRuntimeEntity::value, readUntil('}'));
            return entity;
        }
        const std::string_view token = word();
        if (token.empty()) throw std::invalid_argument("unexpected " + std::string(1, c));
        if (token == "true" || token == "false") {
            KLVPBRuntimeEntity entity = typed(3);
            NANOSetBool(entity, KLVPBRuntimeEntity::boolean_value, token == "true");
            return entity;
        }
        double number = 0;
        if (token == "NaN") {
            number = std::numeric_limits<double>::quiet_NaN();
        } else if (token == "Infinity" || token == "-Infinity") {
            number = token[0] == '-' ? -std::numeric_limits<double>::infinity()
                                     : std::numeric_limits<double>::infinity();
        } else if (std::from_chars(token.data(), token.data() + token.size(), number).ptr !=
                   token.data() + token.size()) {
            throw std::invalid_argument("bad token " + std::string(token));
        }
        KLVPBRuntimeEntity entity = typed(2);
        NANOSetDouble(entity, KLVPBRuntimeEntity::number_value, number);
        return entity;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

inline std::vector<KLVPBRuntimeEntity> program(std::string_view text) {
    return EntityReader(text).readAll();
}

inline KLVPBRuntimeEntity entity(std::string_view text) {
    return program(text).at(0);
}

// A rule program of two functions, for the activities of that name: "rename" registers an edit
// callback that renames events named the rule's "from" to its "to"; "enrich" one that sets two
// parameters and creates a copy of the event.
inline constexpr const char* kEditingRulesProgram = R"(
    (let "reg" "log")
    (assign "reg" (require "internal.registerCallback"))
    (assign "log" (require "internal.eventLogger"))
    (def "rename" (array "r")
      (reg 0 (fn "" (array "e")
        (if (seq= (call (var "e") "getEventName" (array)) (get (var "r") "from"))
            (stmts (call (var "e") "setEventName" (array (get (var "r") "to")))))
        (return 0))
       (var "r")))
    (def "enrich" (array "r")
      (reg 0 (fn "" (array "e")
        (call (var "e") "setParamValue" (array "campaign" (get (var "r") "campaign")))
        (call (var "e") "setParamValue"
              (array "level" (add (call (var "e") "getParamValue" (array "level")) 1)))
        (log (add (call (var "e") "getEventName" (array)) "_copy")
             (call (var "e") "getTimestamp" (array))
             (object "source" "rule"))
        (return 0))
       (var "r")))
)";

// A rule program: the instructions, then named activities whose data are the rules handed to
// the function of the same name.
struct Activity {
    const char* name;
    const char* rules;
};

inline KLVPBProgram makeProgram(std::string_view instructions,
                                const std::vector<Activity>& activities = {}) {
    KLVPBProgram made;
    NANOSetArray(made, KLVPBProgram::instructions, program(instructions));
    std::vector<KLVPBOgtActivity> list;
    for (const Activity& activity : activities) {
        KLVPBOgtActivity message;
        NANOSetString(message, KLVPBOgtActivity::name, activity.name);
        NANOSetArray(message, KLVPBOgtActivity::data, program(activity.rules));
        list.push_back(std::move(message));
    }
    KLVPBOgtActivities all;
    NANOSetArray(all, KLVPBOgtActivities::activities, list);
    NANOSetMessage(made, KLVPBProgram::ogt_activities, all);
    return made;
}

}  // namespace engine::testing
