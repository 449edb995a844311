#include "vepvideorecord.h"

#include <cstring>

VepVideoRecord::VepVideoRecord()
    : magic(0), number1(0), number2(0), randNumber(0), flag(0), number3(0), number4(0), number5(0),
      number6(0), number7(0), encryptType(0), number8(0), width(0), height(0), duration(0)
{
    std::memset(flags, 0, sizeof flags);
    std::memset(listHead, 0, sizeof listHead);
}
