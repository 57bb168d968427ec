#include "CacheView.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <map>

#include "CliSupport.h"
#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/RegistryNames.h"
#include "outside/registry/KXPlatformInfo.h"

namespace kxmp::cli {

namespace {

// A cached number read as the service reads it: like atoll (leading blanks, a sign, the
// digits up to the first other character, so "2\n" is 2), saturating instead of overflowing,
// and cut to 32 bits where the service keeps 32; `fallback` when the value is missing or empty.
int64_t Number(const std::map<std::string, std::string>& values, const char* name, int64_t fallback,
               bool thirtyTwoBits = true) {
  auto it = values.find(name);
  if (it == values.end() || it->second.empty()) return fallback;
  const int64_t value = std::strtoll(it->second.c_str(), nullptr, 10);
  if (!thirtyTwoBits) return value;
  return std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
}

std::string Text(const std::map<std::string, std::string>& values, const char* name) {
  auto it = values.find(name);
  return it == values.end() ? std::string() : it->second;
}

// A damaged count must not make the tool list millions of empty entries; the service
// itself never caches more than a storage policy has mount paths.
constexpr int64_t kMaxShownEntries = 4096;

}  // namespace

std::string UtcText(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm tm {};
  char text[32];
  if (gmtime_r(&t, &tm) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0) {
    return std::to_string(seconds);
  }
  return text;
}

bool CacheView::Read(uint64_t subclientId, CacheView& view) {
  KXPlatformInfo platform;
  std::map<std::string, std::string> values;
  if (!platform.getRegValues(std::string("~") + MAMountPointKey + "/" + std::to_string(subclientId), &values)) {
    return false;
  }
  std::map<std::string, std::string> parent;
  platform.getRegValues(std::string("~") + MAMountPointKey, &parent);

  view = CacheView();
  view.subclientId = subclientId;
  view.guid = Text(values, SubClientGUIDVal);
  view.backupsetGuid = Text(values, BackupsetGUIDVal);
  view.lastRefreshTime = Number(values, MALastRefreshTime, 0, false);
  view.refreshHours = Number(parent, MACacheRefreshHours, 8);
  view.failoverNumber = Number(values, FailoverNumber, 0);
  view.failoverCurrent = Number(values, FailoverCurrent, 0);
  const int64_t last = std::clamp<int64_t>(view.failoverNumber, 0, kMaxShownEntries);
  for (int64_t i = 0; i <= last; ++i) {
    MountPathInfo entry = AbstractMountingPointDriver::readCache(values, static_cast<int>(i));
    // Entries past the primary that hold nothing are not shown.
    if (i > 0 && entry.hostName.empty() && entry.mountPath.empty()) continue;
    view.entries.push_back(entry);
  }
  return true;
}

bool CacheView::LacksPrimary() const {
  const bool noPrimary = entries.empty() || entries[0].hostName.empty();
  return lastRefreshTime > 0 && noPrimary && (failoverCurrent <= 0 || failoverCurrent > failoverNumber);
}

bool CacheView::IsFresh(time_t now) const {
  if (lastRefreshTime <= 0 || lastRefreshTime >= now || refreshHours <= 0) return false;
  return now - lastRefreshTime < refreshHours * 3600;
}

Json CacheView::ToJson(time_t now) const {
  Json list = Json::array();
  for (const MountPathInfo& e : entries) {
    list.push_back({{"index", e.cacheIndex},
                       {"host", e.hostName},
                       {"mountPath", e.mountPath},
                       {"mountPathId", e.mountPathId},
                       {"inUse", e.cacheIndex == failoverCurrent}});
  }
  return {{"subclient", subclientId},
          {"guid", guid},
          {"backupsetGuid", backupsetGuid},
          {"lastRefreshTime", lastRefreshTime},
          {"lastRefresh", lastRefreshTime > 0 ? UtcText(lastRefreshTime) : std::string()},
          {"refreshHours", refreshHours},
          {"fresh", IsFresh(now)},
          {"failoverNumber", failoverNumber},
          {"failoverCurrent", failoverCurrent},
          {"primary", !LacksPrimary()},
          {"entries", list}};
}

std::string CacheView::ToText(time_t now) const {
  std::string refreshed = "never";
  if (lastRefreshTime > 0 && lastRefreshTime == now) {
    // The service counts this second as stale, but a person just refreshed it.
    refreshed = UtcText(lastRefreshTime) + " (refreshed just now, refreshed every " + std::to_string(refreshHours) + " h)";
  } else if (lastRefreshTime > 0) {
    refreshed = UtcText(lastRefreshTime) + (IsFresh(now) ? " (fresh" : " (stale") + ", refreshed every " +
                std::to_string(refreshHours) + " h)";
  }
  Table facts({"subclient", std::to_string(subclientId)});
  facts.Add({"GUID", guid.empty() ? "(none)" : guid});
  facts.Add({"backup set GUID", backupsetGuid.empty() ? "(none)" : backupsetGuid});
  facts.Add({"refreshed", refreshed});
  facts.Add({"failover", "entry " + std::to_string(failoverCurrent) + " in use, " + std::to_string(failoverNumber) +
                             " alternate(s)"});
  if (LacksPrimary()) facts.Add({"primary", "none: the catalog lists no primary mount path; backups fail until one is attached"});
  Table table({"ENTRY", "IN USE", "HOST", "ID", "MOUNT PATH"});
  for (const MountPathInfo& e : entries) {
    table.Add({e.cacheIndex == 0 ? "0 (primary)" : std::to_string(e.cacheIndex),
               e.cacheIndex == failoverCurrent ? "*" : "", e.hostName, std::to_string(e.mountPathId), e.mountPath});
  }
  return facts.Render(0) + table.Render();
}

}  // namespace kxmp::cli
