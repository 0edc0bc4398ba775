#include <gtest/gtest.h>

#include "core/CXMLDocument.h"
#include "core/TextUtils.h"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    Nerra::XMLInit();
    return RUN_ALL_TESTS();
}
