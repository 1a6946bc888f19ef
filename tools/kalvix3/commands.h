#pragma once

#include "options.h"

namespace tool {

int runKinds(const Options &options);
int runWatch(const Options &options);
int runHistory(const Options &options);
int runDial(const Options &options);
int runSimulate(const Options &options);
int runDemo(const Options &options);

// Shown while a slow call runs on a terminal ("reading history ... 1.2 s").
class Progress {
public:
    explicit Progress(const char *what);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

private:
    struct State;
    State *state;
};

} // namespace tool
