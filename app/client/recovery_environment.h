#pragma once

// Whether this process runs in the recovery environment: the environment variable
// "__OSINSTALL_ENVIRONMENT" is set and reads as true (ReadsAsTrue). There the application runs
// as root and replicates in its own process; elsewhere replication is the privileged helper's
// work. Read once per process.
bool IsRunningInRecoveryEnvironment();

// The platform's reading of a text as a Boolean: "YES" and "true" in any case, or a decimal
// number other than zero (leading spaces and a sign allowed). Everything else is false.
bool ReadsAsTrue(const char* text);
