// The one-shot front end's side of mode detection, for the end-to-end tests:
// registers a program mode field as the front end does, runs each argument
// as a command line through the dispatcher ("{field}" in a line stands for
// the text that names the registered field), and ends with the field's value.
//
//   mode_field_runner "connect /dev/pts/7" "read_efuse {field}" disconnect
//
// Prints "CMD[n] line" before each line (as given), the commands' own
// output, then "mode field: N". Exit status: the last line's result.
#include <cstdint>
#include <cstdio>
#include <string>

#include "commands/commands.h"
#include "platform/console.h"
#include "shell/cmd.h"

namespace {
constexpr uint32_t UNTOUCHED = 99;  // no program mode has this value
const std::string FIELD_MARK = "{field}";
}  // namespace

int main(int argc, char** argv) {
    con_init();
    uint32_t mode = UNTOUCHED;
    const std::string text = read_efuse_register_field(&mode);
    int32_t result = 0;
    for (int i = 1; i < argc; ++i) {
        std::string line = argv[i];
        for (size_t at; (at = line.find(FIELD_MARK)) != std::string::npos;) line.replace(at, FIELD_MARK.size(), text);
        std::printf("CMD[%d] %s\n", i - 1, argv[i]);
        result = cmd_exec_line(line.c_str());
    }
    std::printf("mode field: %u\n", mode);
    read_efuse_register_field(nullptr);
    return result == 0 ? 0 : 1;
}
