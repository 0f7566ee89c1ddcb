// A policy built rule by rule, for tests of what rules match.
#pragma once
#include <memory>

#include "common/policy.h"
#include "common/text.h"
#include "service/rule_match.h"

struct PolicyBuilder {
    std::unique_ptr<Policy> policy{new Policy()};
    Rule& add(int32_t type, const wchar_t* name, const wchar_t* path = L"", const wchar_t* args = L"") {
        Rule& rule = policy->rules[policy->count++];
        rule.type = type;
        rule.enabled = 1;
        text_copy(rule.match_name, name);
        text_copy(rule.match_path, path);
        text_copy(rule.args_contains, args);
        text_copy(rule.auth_mode, L"totp");
        return rule;
    }
    const Rule* match(uint32_t type, const wchar_t* path, const wchar_t* args = L"") const {
        return match_rule(policy.get(), type, path, args);
    }
};
