#pragma once

#include <string>
#include <string_view>

// Where Tessel keeps its files in the temporary folder (TMPDIR, else /tmp/) when nobody names a
// place: the client's session folders, the worker's working folder and the default log folder.
// Every user may create entries in the temporary folder, so a folder found there is used only
// when it is a real folder (no link) of the effective user that nobody else may write; otherwise
// the one with the user id in its name is used instead. The worker, its logger and the client all
// choose here, so they agree on the folders.
namespace tessel {

struct TesselFolder {
  std::string path;     // with a trailing '/'; empty when no folder could be had
  std::string problem;  // why not, when `path` is empty
};

// TMPDIR/TESSEL/<below>/ when TESSEL and <below> pass IsPrivateFolder, else
// TMPDIR/TESSEL-<uid>/<below>/ when those do; missing folders are made (mode 0700) on the way,
// the temporary folder itself never. An empty `below` chooses the TESSEL folder itself. The first
// time in a process that the first choice is passed over, standard error says why.
TesselFolder ChooseTesselFolder(std::string_view below = {});

// The log folder of a process that is not given one: ChooseTesselFolder("LOG").
TesselFolder DefaultLogFolder();

// True when `path` is a folder, not a link, that belongs to the effective user and that neither
// its group nor others may write; otherwise `problem` (when given) says what it is.
bool IsPrivateFolder(std::string_view path, std::string* problem = nullptr);

// Makes the folder `path` (mode 0700) when it is missing, never its parent, then checks it with
// IsPrivateFolder.
bool MakePrivateFolder(std::string_view path, std::string* problem);

}  // namespace tessel
