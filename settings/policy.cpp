#include "settings/policy.h"

#include <cstdio>
#include <cstring>

#include "core/agent_state.h"
#include "core/ipv4.h"
#include "core/text.h"
#include "settings/store.h"
#include "ui/tray.h"

namespace {

const char kLineInForce[] = "Политика %s = %s (%s)";
const char kLineOverridden[] = "Политика %s = %s (%s) не действует: задан %s";
const char kLineIgnored[] = "Политика %s пропущена (%s): %s";
const char kWhyType[] = "неверный тип или длина";
const char kWhyRange[] = "вне допустимого диапазона";
const char kWhyAddress[] = "не адрес IPv4 сервера";
const char kWhyEmpty[] = "пустая строка";

// Why the value cannot be used as `entry` asks, or nullptr when it can.
const char* Rejection(const PolicySpec& entry, const PlatPolicyValue& value) {
    const bool wantsNumber = entry.kind == kPolicyFlag || entry.kind == kPolicyNumber;
    if (value.type != (wantsNumber ? kValueDword : kValueString)) return kWhyType;
    switch (entry.kind) {
        case kPolicyNumber:
            return value.number < entry.min || value.number > entry.max ? kWhyRange : nullptr;
        case kPolicyPath: return value.text[0] == '\0' ? kWhyEmpty : nullptr;
        case kPolicyAddressText:
            return strlen(value.text) < kAddressSize && IsServerAddress(value.text) ? nullptr
                                                                                    : kWhyAddress;
        case kPolicyFlag: break;
    }
    return nullptr;
}

// Takes `value` when it is usable; returns whether it was. A bad one is noted as ignored.
bool Take(MachinePolicy* policy, const PolicySpec& entry, const PlatPolicyValue& value) {
    if (value.type == kValueNone) return false;
    const char* where = value.where != nullptr ? value.where : "?";
    const char* why = Rejection(entry, value);
    if (why != nullptr) {
        const int room = static_cast<int>(sizeof policy->ignored / sizeof policy->ignored[0]);
        if (policy->ignoredCount < room)
            policy->ignored[policy->ignoredCount++] = {entry.id, where, why};
        return false;
    }
    policy->inForce[entry.id] = true;
    policy->where[entry.id] = where;
    policy->number[entry.id] = value.number;
    CopyBounded(policy->text[entry.id], sizeof policy->text[entry.id], value.text);
    return true;
}

bool Flag(const MachinePolicy& policy, PolicyId id, bool* on) {
    if (!policy.inForce[id]) return false;
    *on = policy.number[id] != 0;
    return true;
}

void ForbidRemembering() {
    gAgent.rememberForbidden = true;
    static StoredSettings stored;
    memset(&stored, 0, sizeof stored);
    uint32_t off = 0;
    StoredValue& saveData = stored.values[kStoredSaveData];
    saveData.action = kStoredWrite;
    saveData.type = kValueDword;
    saveData.size = sizeof off;
    memcpy(saveData.data, &off, sizeof off);
    stored.values[kStoredLogin].action = kStoredDelete;
    stored.values[kStoredPass].action = kStoredDelete;
    PlatSaveSettings(stored);
    gAgent.useSavedPassword = false;
    LogonForm& form = gAgent.view.form;
    form.login[0] = '\0';
    form.passwordRemembered = false;
    form.remember = false;
    form.rememberAllowed = false;
    ShowLogonForm();
}

}  // namespace

void LoadMachinePolicy(MachinePolicy* policy) {
    static_assert(kPolicyCount <= kPolicyMaxValues, "the platform reads this many values");
    memset(policy, 0, sizeof *policy);
    const char* names[kPolicyCount];
    for (const PolicySpec& entry : kPolicies)
        names[entry.id] = entry.name;
    PlatPolicyRecord record;
    PlatLoadPolicy(names, kPolicyCount, &record);
    for (const PolicySpec& entry : kPolicies) {
        if (!Take(policy, entry, record.machine[entry.id]) && entry.perUser)
            Take(policy, entry, record.user[entry.id]);
    }
}

const char* PolicyLogFile(const MachinePolicy& policy) {
    return policy.inForce[kPolicyLogFile] ? policy.text[kPolicyLogFile] : nullptr;
}

void ApplyPolicy(const MachinePolicy& policy) {
    bool on = false;
    if (Flag(policy, kPolicyNoSaveData, &on) && on) ForbidRemembering();
    if (Flag(policy, kPolicyNotify, &on)) gAgent.notifyEnabled = on;
    if (policy.inForce[kPolicyAddress])
        CopyBounded(gConfig.serverAddress, sizeof gConfig.serverAddress,
                    policy.text[kPolicyAddress]);
    if (policy.inForce[kPolicyPort])
        snprintf(gConfig.serverPort, sizeof gConfig.serverPort, "%u",
                 static_cast<unsigned>(policy.number[kPolicyPort]));
}

void PrintPolicyLines(const MachinePolicy& policy, bool addressOption, bool logOption) {
    for (const PolicySpec& entry : kPolicies) {
        if (!policy.inForce[entry.id]) continue;
        char value[kPolicyTextSize];
        if (entry.kind == kPolicyFlag || entry.kind == kPolicyNumber) {
            snprintf(value, sizeof value, "%u", static_cast<unsigned>(policy.number[entry.id]));
        } else {
            EscapeControls(value, sizeof value, policy.text[entry.id]);
        }
        const char* option = entry.id == kPolicyAddress && addressOption ? "--address"
                             : entry.id == kPolicyLogFile && logOption   ? "--log"
                                                                         : nullptr;
        if (option != nullptr) {
            DebugPrint(kLineOverridden, entry.name, value, policy.where[entry.id], option);
        } else {
            DebugPrint(kLineInForce, entry.name, value, policy.where[entry.id]);
        }
    }
    for (int i = 0; i < policy.ignoredCount; ++i) {
        const PolicyIgnored& bad = policy.ignored[i];
        DebugPrint(kLineIgnored, kPolicies[bad.id].name, bad.where, bad.why);
    }
}
