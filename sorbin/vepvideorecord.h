#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One entry of the record's list (the program writes the list empty).
struct VepListItem
{
    uint32_t number = 0;
    std::wstring first;
    std::wstring second;
};

// The video record of a package block, in serialisation order (the marker excepted).
struct VepVideoRecord
{
    VepVideoRecord();

    int32_t magic;
    int32_t number1;
    int32_t number2;
    std::wstring courseId;
    int32_t randNumber;
    std::wstring text1;
    uint8_t flag;
    std::wstring videoKey;
    std::wstring text2;
    int32_t number3;
    uint8_t flags[6];
    int32_t number4;
    int32_t number5;
    uint8_t listHead[5];
    std::vector<VepListItem> list;
    int32_t number6;
    int32_t number7;
    std::string bytes;
    std::wstring texts[11];
    int32_t encryptType;
    int32_t number8;
    int32_t width;
    int32_t height;
    int32_t duration;
};
