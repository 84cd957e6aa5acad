#pragma once

class WatchdogServerModule;

// Checks what must hold for the module's registry and service table after
// any sequence of messages and supervision cycles; on a violation, prints
// what broke and calls abort() so the fuzzer keeps the input.
//   - every record is filed under its own processName (one record per name);
//   - a never-expiring record (timeoutMs 0xFFFFFFFF) is Registered;
//   - watchState is one of its enumerators, graceCount within 0..4;
//   - no text is longer than its wire field (64, 64, 512 bytes): a longer
//     one would mean a read past the field into its neighbour;
//   - the dependent-service table holds exactly the three services.
void checkRegistryInvariants(const WatchdogServerModule& module);
