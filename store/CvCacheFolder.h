// The learner's cache folder ("cache" in g_install_path) and the small
// file helpers the cache commands and the playback engine share. The folder is not
// made at start-up: the song and notation saves make it on demand.
// All helpers may run on any thread. readCacheFile holds g_local_db_mutex around the
// read, so it must not be called with that mutex held; writes take no lock (the
// commands that write hold g_flow_mutex where they need ordering).
#pragma once

#include <string>

// g_install_path + "\cache", as a native path.
std::string cacheFolderPath();

// The entry name directly inside the cache folder. name must hold no separator.
std::string cacheFilePath(const std::string& name);

// The whole file as bytes, or empty text when it cannot be opened. Takes
// g_local_db_mutex.
std::string readCacheFile(const std::string& path);

// True when path is a file that can be opened for reading (a folder is not).
bool isFileReadable(const std::string& path);

// True when anything, file or folder, stands at the cache folder's entry name.
// Raises boost::filesystem::filesystem_error when the system cannot tell.
bool existsInCache(const std::string& name);

// Standard Base64 alphabet. Stops at the first "=" or the first character outside the
// alphabet (line breaks and spaces too) and ignores the rest; a final group of two or
// three characters gives one or two bytes, a single leftover character nothing.
std::string decodeBase64(const std::string& text);

// True when decodeBase64 reads all of text: the alphabet run is followed by nothing
// or by the "=" that pad its last group, and no single character is left over. Base64 cut by a line
// break or a stray character would otherwise be stored short and answered as saved.
bool isWholeBase64(const std::string& text);

// Makes sure the cache folder exists: creates it when missing, replaces whatever
// non-folder stands in its place. On failure logs "[<tag>]can not create %s folder"
// and returns false; the command then ends with an empty answer.
bool ensureCacheFolder(const std::string& tag);
