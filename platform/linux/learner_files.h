// The folder rules of a Linux install, as parts a test can apply to folders of its
// own: where the shipped read-only files and the learner's writable files are, and a
// learner's first start from a system install. platform.h's shippedFilesFolder,
// learnerFilesFolder and prepareLearnerFiles apply them to the running program.
#pragma once

#include <string>

#include "platform/platform.h"

namespace platform {

struct ProgramFolders {
  std::string shipped;    // countoff/, pianocorvida.db (pristine), allowed-origins.txt
  std::string learner;    // pianocorvida.log, db/, cache/; empty when no home is known
  bool separate = false;  // a system install: the learner's folder is not the program's
};

// The rule of platform.h for a program in programFolder. xdgDataHome and home are the
// environment's values (null when unset; home falls back to the account's home
// folder before it gets here).
ProgramFolders programFoldersFor(const std::string& programFolder, bool programFolderWritable,
                                 const char* xdgDataHome, const char* home);

// Where the earlier package kept the program and its one learner's data together.
extern const char* const EARLIER_INSTALL_FOLDER;  // "/opt/pianocorvida"

// prepareLearnerFiles for the given folders, with the earlier layout looked for in
// earlierFolder.
LearnerFilesSetup prepareLearnerFolder(const ProgramFolders& folders,
                                       const std::string& earlierFolder);

}  // namespace platform
