#pragma once
// Names of the mount-point cache in the platform registry. Other programs of the suite and
// operators read the same keys and values: never change a text.
//
// Keys: "~Tessel/MAMountPoint" (value "CacheRefreshHour"), and below it one key per
// subclient named after its id in decimal. The registry resolves "~X/42", "~/X/42" and
// "~X\42" to the same key.
// Subclient values: sMAHostnameMangled, sMAMountPath, iMAMountPathId (entry 0, the primary)
// and the same names followed by "_n" for alternate entry n = 1..nFailoverNumber;
// nLastRefreshTime (seconds since 1970, decimal text), nFailoverNumber, nFailoverCurrent,
// sSubClientGUID, sBackupsetGUID.

inline constexpr char MAMountPointKey[] = "Tessel/MAMountPoint";
inline constexpr char MAHostnameMangledVal[] = "sMAHostnameMangled";
inline constexpr char MAHostnameVal[] = "sMAHostname";
inline constexpr char MAMountPathVal[] = "sMAMountPath";
inline constexpr char MAMountPathIdVal[] = "iMAMountPathId";
inline constexpr char SubClientGUIDVal[] = "sSubClientGUID";
inline constexpr char InstanceGUIDVal[] = "sInstanceGUID";
// Spelled without a final s, although the constant ends in "Hours".
inline constexpr char MACacheRefreshHours[] = "CacheRefreshHour";
inline constexpr char MALastRefreshTime[] = "nLastRefreshTime";
inline constexpr char BackupsetGUIDVal[] = "sBackupsetGUID";
inline constexpr char FailoverNumber[] = "nFailoverNumber";
inline constexpr char FailoverCurrent[] = "nFailoverCurrent";
inline constexpr char MAMountPointAllowedProcesses[] = "sMAMountPointAllowedProcesses";
// The folder below each mount path that holds the subclients' root folders.
inline constexpr char AppDumpsFolder[] = "KX_APP_DUMPS";
