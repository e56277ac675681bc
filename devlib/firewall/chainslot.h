// Bookkeeping shared by the FORWARD and mangle chain slots: a mask of
// installed applications in the store, and the script that changes the chain.
#pragma once

#include "platform/root.h"
#include "util/fd.h"

#include <cstdio>

namespace devlib::fw {

// Fills list with the set bits among the lowest n, ascending. An absent or
// empty key is first written as "0".
void decode_mask(const char *key, int n, int *list);
// Or-s (set non-zero) or toggles (set 0) bits in the mask. too_long is printed
// when the text would not fit 16 bytes (null: dropped quietly).
void update_mask(const char *key, int bits, int set, const char *too_long);

enum class Walk { Free, Installed, Full };
// The place of type among the installed list of n (0 ends it): its 1-based
// position, and whether it is free there, installed there, or past a full list.
Walk find_place(const int *list, int n, int type, int &pos);
// The 1-based position of type among the installed entries, 0 when absent.
int installed_at(const int *list, int n, int type);

// An interface name from the store that is safe to put on a shell line:
// letters, digits and "._-+@" only. An empty name passes (iptables refuses it).
bool plain_ifname(const char *name);

// One chain script at a device path: created, written, closed, run, removed.
class ChainScript {
public:
    explicit ChainScript(const char *device_path);
    ChainScript(const ChainScript &) = delete;
    ChainScript &operator=(const ChainScript &) = delete;
    ~ChainScript();

    bool ok() const { return static_cast<bool>(file_); }
    FILE *get() const { return file_.get(); }
    // Closes the file; false when any line could not be written, in which case
    // the file is removed: a cut line could name another rule.
    bool close();
    // Runs "/bin/sh sh <script>" or "/usr/sbin/iptables_script <script>".
    void run_sh() const;
    void run_iptables_script() const;
    // Removes the file: 0, or -1.
    int remove();

private:
    const char *device_path_;
    DevPath mapped_;
    UniqueFile file_;
};

} // namespace devlib::fw
