// flint-gang's commands beside a gang run: the address pools and the report.
// Each returns the exit code: 0, or GANG_REFUSED with the message on
// standard error.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

// flint-gang pool create NAME FIRST LAST | pool show [NAME] | pool release NAME ADDRESS [--db URL]
// (`words` without "pool").
int pool_command(std::vector<std::string> words, FILE* out);

// flint-gang report [--db URL] [--since TIME] [--station NAME] [--csv] (`words` without "report").
int report_command(std::vector<std::string> words, FILE* out);

extern const char* const POOL_USAGE;
extern const char* const REPORT_USAGE;
