// flint's option letters and the reader of its command line, shared by flint
// and flint-gang (which must see the words exactly as flint will).
#pragma once
#include <cstdlib>
#include <cstring>
#include <vector>

// The option letters; a letter followed by ':' takes a value.
const char* const FLINT_OPTION_LETTERS = "iP:hc:b:epsm:vaEF:A:S:f:rM:Vx:dD:u:H";

inline const char* const END_OF_OPTIONS = "--";
inline const char* const IN_ORDER_VARIABLE = "POSIXLY_CORRECT";

// Reads the option letters of a command line. Letters may be grouped in one
// word; a letter that takes a value takes the rest of its word, or else the
// next word that does not begin with "-" (the words with "-" in between are
// still read as options, so "-c -h" shows the help instead of opening a port
// named -h). "--" ends the options; other words play no part, and with
// POSIXLY_CORRECT set the options end at the first of them.
class option_reader {
public:
    static constexpr int END = -1;
    static constexpr int UNKNOWN = '?';        // letter() is 0 for a "--word"
    static constexpr int MISSING_VALUE = ':';  // letter() names the option

    option_reader(int argc, char** argv, const char* letters)
        : argc_(argc), argv_(argv), letters_(letters), taken_(static_cast<size_t>(argc), false),
          in_order_(std::getenv(IN_ORDER_VARIABLE) != nullptr) {}

    int next() {
        while (rest_ == nullptr || *rest_ == '\0')
            if (!next_word()) return END;
        if (rest_ == word_letters() && rest_[0] == '-') {  // a "--word": no long options exist
            letter_ = 0;
            rest_ = nullptr;
            return UNKNOWN;
        }
        letter_ = *rest_++;
        value_ = nullptr;
        const char* known = letter_ != ':' ? std::strchr(letters_, letter_) : nullptr;
        if (known == nullptr) return UNKNOWN;
        if (known[1] != ':') return letter_;
        if (*rest_ != '\0') {
            value_ = rest_;
            rest_ = nullptr;
            return letter_;
        }
        for (int i = word_ + 1; i < argc_; ++i) {
            if (taken_[static_cast<size_t>(i)] || argv_[i][0] == '-') continue;
            taken_[static_cast<size_t>(i)] = true;
            value_ = argv_[i];
            return letter_;
        }
        return MISSING_VALUE;
    }

    char letter() const { return letter_; }
    const char* value() const { return value_; }
    const char* word() const { return argv_[word_]; }

private:
    const char* word_letters() const { return argv_[word_] + 1; }

    // Moves to the next word that holds option letters; false when the
    // options have ended.
    bool next_word() {
        rest_ = nullptr;
        while (++word_ < argc_) {
            if (taken_[static_cast<size_t>(word_)]) continue;
            const char* w = argv_[word_];
            if (std::strcmp(w, END_OF_OPTIONS) == 0) break;
            if (w[0] == '-' && w[1] != '\0') {
                rest_ = w + 1;
                return true;
            }
            if (in_order_) break;
        }
        word_ = argc_;
        return false;
    }

    int argc_;
    char** argv_;
    const char* letters_;
    std::vector<bool> taken_;  // words already taken as values
    bool in_order_;
    int word_ = 0;
    const char* rest_ = nullptr;  // letters of the current word not yet read
    char letter_ = 0;
    const char* value_ = nullptr;
};

