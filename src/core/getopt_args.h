// SPDX-License-Identifier: Apache-2.0
// A program's arguments as getopt_long() takes them: writable (it permutes them, so that
// options may follow operands, and "--" ends the options), the program's name first, a null
// last; getopt's state is reset, so that parsing may run more than once in a process.
#pragma once

#include <getopt.h>

#include <string>
#include <vector>

class GetoptArgs {
public:
    GetoptArgs(const char* program, const std::vector<std::string>& args) : storage_{program} {
        storage_.insert(storage_.end(), args.begin(), args.end());
        argv_.reserve(storage_.size() + 1);
        for (std::string& a : storage_) argv_.push_back(a.data());
        argv_.push_back(nullptr);
        opterr = 0;
        optind = 0;  // start afresh (GNU)
    }
    GetoptArgs(const GetoptArgs&) = delete;
    GetoptArgs& operator=(const GetoptArgs&) = delete;

    int argc() const { return static_cast<int>(storage_.size()); }
    char** argv() { return argv_.data(); }
    // The argument getopt_long() read last (the option it complains about), empty when none.
    std::string last() const { return optind > 0 && optind <= argc() ? argv_[optind - 1] : ""; }
    // The operands, once getopt_long() has moved them behind the options.
    std::vector<std::string> operands() const { return {argv_.begin() + optind, argv_.end() - 1}; }

private:
    std::vector<std::string> storage_;
    std::vector<char*> argv_;
};
