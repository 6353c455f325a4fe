// greeting - the two messages of the greeting exchange, as they go on the
// wire; the NUL of each array is never sent.
#ifndef GREETING_H
#define GREETING_H

// The greeting the servers send and the clients print.
constexpr char replymsg[] = "Hello World!\n";
static_assert(sizeof replymsg - 1 == 13, "the greeting is 13 bytes on the wire");

// The UDP clients' request; the servers never look at it.
constexpr char request[] = "Hey are you there?\n";
static_assert(sizeof request - 1 == 19, "the request is 19 bytes on the wire");

#endif
