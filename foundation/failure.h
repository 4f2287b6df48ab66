// How a plug-in reports a rejected call, and a call it carries out but warns
// about. Nothing here calls the host: the front end raises the recorded
// error and issues the warnings (host_args.h for the MEX hosts).
//
// The host's error exit never returns and may skip C++ destructors, so inner
// code never calls it. It throws a Failure instead; the gateway catches it,
// copies the text into a GatewayError (plain character buffers, nothing to
// destroy) and raises the host error from mexFunction once every C++ object
// of the call is gone.
#pragma once

#include <cstddef>
#include <string>

namespace regkern {

struct Failure {
    const char* condition;  // the mnemonic after "<plug-in>:" in the identifier
    std::string message;    // names the input and what was expected
};

[[noreturn]] inline void fail(const char* condition, std::string message)
{
    throw Failure{condition, std::move(message)};
}

// Call from inside a catch block: the standard library's failures (memory
// that cannot be had, a thread that cannot be started) are rethrown as the
// plug-in's Failure (outOfMemory, threadStart); a Failure, or an exception
// the plug-in did not raise itself, is rethrown as it is.
[[noreturn]] void rethrow_as_failure();

struct GatewayError {
    bool raised = false;
    char id[128] = {};
    char message[512] = {};
};

// Call from inside a catch block: turns the exception in flight into the
// plug-in's error identifier and message. An exception the plug-in did not
// raise itself comes from the host (Octave reports its own errors, such as a
// failed array creation, by throwing); it is rethrown so that the host
// handles it as its own error.
void record_failure(const char* plugin, GatewayError& error);

// Warnings about a call that is carried out all the same (one that can only
// be a mistake, such as window weights that are all zero). The gateway
// records them while it checks the call; mexFunction issues them through the
// host once the call is done. Issued there, from mexFunction's own thread
// and with every C++ object of the call gone, a warning the user has turned
// into an error (warning ('error', id)) may leave through the host's error
// exit safely.
struct GatewayWarnings {
    static constexpr int capacity = 8;
    int count = 0;
    char condition[capacity][32] = {};
    char message[capacity][1024] = {};
};

// Records a warning with the identifier "<plug-in>:<condition>"; beyond the
// capacity, further warnings of the call are dropped.
void warn(GatewayWarnings& warnings, const char* condition, const std::string& message);

}  // namespace regkern
