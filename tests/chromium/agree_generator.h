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
