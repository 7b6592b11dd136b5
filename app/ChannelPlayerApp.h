#pragma once
class CChannelPlayerApp
{
public:
    CChannelPlayerApp(int& argc, char** argv);
    bool InitInstance();
};
