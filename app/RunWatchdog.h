#pragma once

#include <Poco/Util/Application.h>

#include <iostream>

#include "ZelvinWatchdog.h"

// The body of the entry point, shared by the narrow (Linux) and the wide
// (Windows) argument vectors: run the application, and turn a framework
// exception that escapes it into its text on standard error and exit code 70.
template <typename CharT> int runWatchdog(int argc, CharT** argv)
{
    try
    {
        ZelvinWatchdog app;
        return app.run(argc, argv);
    }
    catch (Poco::Exception& exc)
    {
        std::cerr << exc.displayText() << std::endl;
        return Poco::Util::Application::EXIT_SOFTWARE;
    }
}
