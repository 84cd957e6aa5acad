#pragma once

// Reaps the process's finished children as they end, without ever blocking on
// one, so commands that are started and never waited for leave no zombies.
// On Linux a SIGCHLD handler that collects every ended child with
// waitpid(WNOHANG), and the process becomes its descendants' subreaper, so
// services orphaned by `net` are collected here as well. On Windows nothing
// is needed. Safe to call twice.
// Do not use in a process that waits for its own children by pid.
namespace ChildReaper
{
void install();
}
