#pragma once
// The cores this process may run on: those of its CPU affinity (taskset, a
// container's cpuset), else the machine's. What the server sizes its
// workers and its program slots by, so that a process given 2 of 8 cores
// runs as many programs as 2 cores can carry.

#include <cstddef>

size_t KrUsableCores();
