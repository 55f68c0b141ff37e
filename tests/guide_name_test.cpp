// A service recording's name from its guide: the default form, the
// placeholders, and what broadcasters' names and titles may hold that a
// file name may not.
#include <gtest/gtest.h>

#include <string>

#include "recorder/guide_name.h"

namespace corvanlet {
namespace {

constexpr char kDefault[] = "%service% - %title% - %date% %time%.ts";

GuideNameFields Rai(const char* service = "Rai 1", const char* title = "TG1") {
    GuideNameFields fields;
    fields.service = service;
    fields.title = title;
    fields.serviceId = 3401;
    fields.frequency = 11362;
    fields.polarisation = 'H';
    fields.symbolRate = 22000;
    fields.year = 2026, fields.month = 12, fields.day = 9, fields.hour = 20, fields.minute = 0;
    return fields;
}

std::string Name(const GuideNameFields& fields, const char* form = kDefault) {
    char out[1100];
    return GuideName(form, fields, out, sizeof out) ? out : "(none)";
}

TEST(GuideName, FillsTheFormFromTheGuideAndTheChannel) {
    EXPECT_EQ(Name(Rai()), "Rai 1 - TG1 - 2026-12-09 20.00.ts");
    EXPECT_EQ(Name(Rai(), "%frequency%-%polarisation%-%symbolrate% sid%sid% %title%.ts"),
              "11362-H-22000 sid3401 TG1.ts");
    // Text that is no placeholder stays; a lone % too.
    EXPECT_EQ(Name(Rai(), "%title% 100% %odd%.ts"), "TG1 100% %odd%.ts");
    // Greek and Cyrillic reach the name as they are (UTF-8).
    EXPECT_EQ(Name(Rai("ΕΡΤ1", "Ειδήσεις")), "ΕΡΤ1 - Ειδήσεις - 2026-12-09 20.00.ts");
}

TEST(GuideName, AnEmptyFieldLeavesNoDanglingSeparator) {
    EXPECT_EQ(Name(Rai("Rai 1", "")), "Rai 1 - 2026-12-09 20.00.ts");
    EXPECT_EQ(Name(Rai("", "TG1")), "TG1 - 2026-12-09 20.00.ts");
    EXPECT_EQ(Name(Rai("Rai 1", ""), "%service% - %title%.ts"), "Rai 1.ts");
    EXPECT_EQ(Name(Rai("", "")), "(none)");  // nothing known: no guide name
}

TEST(GuideName, WhatWindowsRefusesInANameIsMadeSafe) {
    // Reserved characters and controls, C1 controls as UTF-8 too.
    EXPECT_EQ(Name(Rai("A/B",
                       "Q: \"who?\" <1|2> *\\\t\xC2\x8A"
                       "end"),
                   "%service% %title%.ts"),
              "A_B Q_ _who__ _1_2_ ____end.ts");
    // Dots and spaces at the end of the stem and of the name go.
    EXPECT_EQ(Name(Rai("Rai 1", "To be continued... "), "%service% - %title%.ts"),
              "Rai 1 - To be continued.ts");
    EXPECT_EQ(Name(Rai("Rai 1", "x"), "%service% %title%. "), "Rai 1 x");
    // A hyphen of the title's own stays; a leading dot is a name Windows takes.
    EXPECT_EQ(Name(Rai("-273", "a-"), "%service% %title%.ts"), "-273 a-.ts");
    EXPECT_EQ(Name(Rai(".hidden", ""), "%service%.ts"), ".hidden.ts");
    // A device's name gets a _ after it.
    EXPECT_EQ(Name(Rai("NUL", ""), "%service%.ts"), "NUL_.ts");
    EXPECT_EQ(Name(Rai("com1", ""), "%service%"), "com1_");
    for (const char* device : {"COM0", "lpt9", "CONOUT$", "conin$", "COM\xC2\xB9", "LPT\xC2\xB3"}) {
        EXPECT_EQ(Name(Rai(device, ""), "%service%.ts"), std::string(device) + "_.ts");
    }
    EXPECT_EQ(Name(Rai("COM10", ""), "%service%.ts"), "COM10.ts");  // no device
}

TEST(GuideName, TheTitleIsCutAtAHundredCharactersNeverInsideOne) {
    std::string title;
    for (int i = 0; i < 150; ++i) title += "\xCE\xB1";  // α, two bytes each
    const std::string name = Name(Rai("S", title.c_str()), "%title%.ts");
    EXPECT_EQ(name, title.substr(0, 200) + ".ts");
    // A name Windows would refuse as too long (255 UTF-16 units, with room
    // for " (9)") is none: a long service name with a long title.
    const std::string service(150, 's');
    EXPECT_EQ(Name(Rai(service.c_str(), title.c_str()), "%service% %title%.ts"), "(none)");
    // A name too long for the buffer is none, never a cut one.
    char small[16];
    EXPECT_FALSE(GuideName(kDefault, Rai(), small, sizeof small));
    EXPECT_STREQ(small, "");
}

}  // namespace
}  // namespace corvanlet
