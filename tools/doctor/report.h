// The report as lines of text or as one JSON document.
#pragma once

#include <string>

#include "tools/doctor/verdict.h"

std::string ReportText(const Report& report);
// Always well formed: bytes that are not UTF-8 come out as U+FFFD.
std::string ReportJson(const Report& report, const char* version);
// `text` with every byte sequence that is not UTF-8 replaced by U+FFFD.
std::string ValidUtf8(const std::string& text);
