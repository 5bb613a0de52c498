#pragma once

// Keeps an interrupt from the keyboard from cutting the controller dialogue
// short: once set up, SIGINT stays ignored for the rest of the process.
class CSignalHandler
{
public:
    // True when SIGINT is now ignored.
    bool setupSignalHandlers();
};
