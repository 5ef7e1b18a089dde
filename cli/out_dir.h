#ifndef OUT_DIR_H
#define OUT_DIR_H

// Files written into one directory as one transaction: each under a hidden
// temporary name beside its final one, all renamed only once every one is
// complete.  A run that fails leaves the directory's files as they were and
// removes the directories it made.

#include <cstdio>
#include <string>
#include <vector>

struct out_dir {
    std::string dir;
    std::vector<std::string> made;  // directories this run created, outermost first
    struct file {
        std::string path, temp;
        FILE *stream = nullptr;
    };
    std::vector<file> files;
};

// Creates dir and its missing parents.  Returns 0, or 73 after "<name>:
// cannot create directory D: <reason>".
int out_dir_open(out_dir *d, const char *dir);

// "dir/name", with one slash between.
std::string out_dir_path(const out_dir &d, const std::string &name);

// Before anything is written: no final name may be a directory, which would
// fail its rename after others had replaced their files.  Returns 0, or 73
// after "<name>: cannot create P: Is a directory".
int out_dir_check(const out_dir &d, const std::vector<std::string> &names);

// A new temporary file for name, with the mode a new file gets.  nullptr
// after "<name>: cannot create P: <reason>" (status 73).
FILE *out_dir_create(out_dir *d, const std::string &name);

// Closes every file, then renames each temporary to its final name.  Returns
// 0, or 74 after "<name>: cannot write P: <reason>", or 73 when a rename
// fails; on failure the temporaries are removed (out_dir_abandon).
int out_dir_commit(out_dir *d);

// Closes and removes every temporary, then the directories this run made,
// when they are empty.
void out_dir_abandon(out_dir *d);

#endif
