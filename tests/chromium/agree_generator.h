// Layouts drawn from a seed: manifests from a grammar of good and bad fields
// and JSON oddities, origins from a pattern grammar, host programs of every
// kind, managed policies and environments. The same seed and count give the
// same layouts; case i asks for com.orvendel.gen_<i> (or a spoilt form of it).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/chromium/agree_engine.h"

std::vector<AgreeGroup> AgreeGenerate(uint64_t seed, int cases);
// Each letter a-z as its fullwidth form (U+FF41 on), in UTF-8.
std::string AgreeFullwidth(const std::string& ascii);
