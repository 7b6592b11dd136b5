#include "ChannelPlayerApp.h"

int main(int argc, char** argv)
{
    CChannelPlayerApp app(argc, argv);
    app.InitInstance();
    return 0;
}
