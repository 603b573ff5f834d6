// Changes of several files that are made whole or not at all, even when the process stops at any
// point (a crash, a kill, a power cut): every command of the test authority that writes files
// writes them through one.
//
// Before it touches anything, a change writes a small record, ".vornak2-ca.TOKEN.change", into
// a directory that the command locks and that every later command meeting its files locks and
// recovers first (the authority's index directory, or the one directory a command writes in).
// TOKEN is random; the record names every directory the change creates and every file it writes.
// New files are written under staged names beside their targets, ".NAME.TOKEN.tmp", and flushed;
// renaming the record to ".vornak2-ca.TOKEN.commit" commits the change; then the staged files are
// renamed over their targets and the record is removed. Each step is followed by a flush of the
// directories it changed, so that the order holds across a power cut too.
//
// Recovery (Recover, and a change that fails before its commit) carries a committed change to
// its end and rolls back any other: it removes the staged files, the scratch files and the new
// directories (when empty) that the record names. It never removes any other file: every name it
// removes carries the record's token, or lies in the scratch directory whose name does. A record
// that is not a regular file of the running account's, or not one this tool writes, is never
// obeyed.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "files.h"

namespace ca {

class Change {
 public:
  // The record goes into `recordDir`, which the caller keeps locked until the change is over.
  // `command` identifies the command line, so that its retry recognises the change it left.
  Change(std::string recordDir, std::string command);
  // Rolls back a change that began and did not commit.
  ~Change();
  Change(const Change&) = delete;
  Change& operator=(const Change&) = delete;

  // The plan, before Begin. A directory to create with `mode`, with its missing parents (those
  // that exist already are left out of the plan).
  void CreateDirectories(const std::string& path, cc::FileMode mode);
  // A file the change writes, created or replaced, with `mode`.
  void WriteFile(const std::string& path, cc::FileMode mode);
  // A file the command needs on disk while it works (under the name `name`, in a directory of
  // the change's own); removed at the end, committed or not. Its path.
  std::string ScratchFile(const std::string& name);

  // Writes the record (with `message`, what the command reports when it is done: a retry that
  // finds the change finished reports it again), creates the directories and the scratch
  // directory. Throws Failure.
  void Begin(std::string_view message);
  // The new content of a planned file (written under its staged name) or of a scratch file.
  // Throws Failure.
  void Put(const std::string& path, std::string_view data);
  // Commits and finishes the change. Throws Failure when it cannot commit (the change is then
  // rolled back); false when it committed but a step failed even when tried again: the change
  // stays recorded and the next command that recovers the directory finishes it.
  bool Commit();

  struct Record {
    std::string token, command, message;
    std::vector<std::pair<std::string, cc::FileMode>> dirs;   // created, parents first
    std::vector<std::pair<std::string, cc::FileMode>> files;  // written
    std::vector<std::string> scratch;                         // names in the scratch directory
  };

 private:
  std::string recordDir_;
  Record record_;
  std::vector<bool> put_;
  bool began_ = false;
  bool committed_ = false;
};

// Finishes or rolls back every change recorded in `dir` (the caller holds its lock). Returns the
// message of a change that was committed and is now finished when its command is `command`: the
// retry of a command that stopped after its commit. Throws Failure when a record cannot be
// carried through (it stays for a later attempt) or is not one this tool writes.
std::optional<std::string> Recover(const std::string& dir, std::string_view command);

}  // namespace ca
