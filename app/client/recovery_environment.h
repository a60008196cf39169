#pragma once

// Whether this process runs in the recovery environment: the environment variable
// "__OSINSTALL_ENVIRONMENT" is set to a non-empty value. There the application runs as root
// and replicates in its own process; elsewhere replication is the privileged helper's work.
// Read once per process.
bool IsRunningInRecoveryEnvironment();
