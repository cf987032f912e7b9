// Reading Icecast's /status-json.xsl with a plain string search: it lists its sources as flat
// objects whose "listenurl" ends in the mount.
#pragma once

#include <string>

// True when an object for the mount is listed; its "title" goes to title ("" when it has none).
// String values are unescaped (\", \\, \n, \uXXXX, and the decimal character references
// "&#N;" that Icecast writes for characters beyond Latin-1); other values are taken as written.
bool FindMountTitle(const std::string& statusJson, const std::string& mount, std::string& title);
