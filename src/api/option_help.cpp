// The help text sent after an unknown option.
#include "api/options.h"
#include "session/reporting.h"

namespace flashwire {

void PrintOptionHelp(Session& ctx) {
    static constexpr const char* kLines[] = {
        "Valid options: (values that contain blanks have to be enclosed in double quotes)",
        "/platform=#      specify type of hardware",
        "/com=#[,#]       com port(s) to be used (1..12)",
        "/mode=           flash|verify|read",
        "/file=name       filename of image to be flashed into mobile",
        "/savefile=name   filename to write the read data into",
        "/phases=         all|bl|fl",
        "/erase=#         number of erase passes on flash sectors (1..8)",
        "/debug=#         verbose output during operation (0|1)",
        "/reserved=#-#    treat memory range #..# as reserved",
        "/read=#-#        read memory range #..# from mobile",
        "/eraseunused=#   erase unused parts of flash (0|1) (very slow)",
        "/extprotect=#    extra safety for flash sectors (0|1) (slow)",
        "/noretry=#       in case of an error, no retry is done (0|1)",
        "/unattended=#    for use in batch files (0|1)",
        "/diff=#          only flash differences (0|1)",
        "/maxspeed=#[,#]  limit transfer speed to 57600|115200|230400|460800|921600",
    };
    for (const char* line : kLines) ReportText(ctx, 0, line);
}

}  // namespace flashwire
