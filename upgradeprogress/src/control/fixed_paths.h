// Every fixed path of the set, named once. The program has no configuration:
// the boot stage, the download agent and the set's image agree on these.
#pragma once

namespace ota_paths {

// Package and work directories (the work directories end in '/': item paths
// are a directory followed directly by an item name).
constexpr const char kPackage[] = "/OAD/patch_package.zip";
constexpr const char kPatchDir[] = "/tmp/patch_file/";
constexpr const char kOriginalDir[] = "/tmp/original_file/";
constexpr const char kUpdateDir[] = "/OAD/update_file/";
constexpr const char kListDir[] = "/OAD/patch_package/";

// Boot-flag partition: flag bytes through the first name, the reboot marker
// through the second.
constexpr const char kFlagDevice[] = "/dev/mmcblk0p4";
constexpr const char kFlagDeviceBlock[] = "/dev/block/mmcblk0p4";

// Partition devices.
constexpr const char kTvserviceDevice[] = "/dev/mmcblk0p18";
constexpr const char kUsrfsDevice[] = "/dev/mmcblk0p26";
constexpr const char kOptfsDevice[] = "/dev/mmcblk0p28";
constexpr const char kSerialsdataDevice[] = "/dev/mmcblk0p34";

// Removed after a successful upgrade.
constexpr const char kSuspendMarker[] = "/var/local/suspend_force_off";

// Language and fonts.
constexpr const char kLanguageFile[] = "/var/local/upgrade/am_tv_lang";
constexpr const char kFontLatin[] = "/usr/bin/upgradeprogress/ukai.ttc";
constexpr const char kFontOther[] = "/var/local/upgrade/uming.ttc";

// Animation frames: kFrameDir + two-digit number + kFrameSuffix.
constexpr const char kFrameDir[] = "/usr/bin/upgradeprogress/animationImage/";
constexpr const char kFrameSuffix[] = ".png";

}  // namespace ota_paths
