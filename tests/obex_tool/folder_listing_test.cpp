// The folder-listing parser (pugixml here, MSXML under Wine) and the file-info list.
#include "Folderlisting.h"

#include <gtest/gtest.h>

using namespace zarnik;

namespace {

std::vector<std::string> names_in(const std::string& text)
{
    std::vector<ListingFileElement> elements;
    EXPECT_TRUE(easyxml_listing_files(listing_document(text), elements)) << text;
    FileInfoList list;
    add_listing_files(elements, list);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < list.size(); ++i) {
        names.push_back(list[i].name);
    }
    return names;
}

using Names = std::vector<std::string>;

TEST(FolderListing, FullListingWithDoctypeAndFolders)
{
    const std::string text =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE folder-listing SYSTEM \"obex-folder-listing.dtd\">\n"
        "<folder-listing version=\"1.0\"><parent-folder/><folder name=\"sub\"/>"
        "<file name=\"b.jpg\" size=\"12\" user-perm=\"RW\"/><folder name=\"x\"><file name=\"deep\" size=\"1\" "
        "user-perm=\"R\"/></folder>"
        "<file name=\"a &amp; b.txt\" size=\"0\" user-perm=\"RWD\"/></folder-listing>";
    std::vector<ListingFileElement> elements;
    ASSERT_TRUE(easyxml_listing_files(listing_document(text), elements));
    FileInfoList list;
    add_listing_files(elements, list);
    ASSERT_EQ(list.size(), 2u) << "only file children of the root, in document order";
    EXPECT_EQ(list[0].name, "b.jpg");
    EXPECT_EQ(list[0].size, 12);
    EXPECT_EQ(list[0].user_perm, "RW");
    EXPECT_EQ(list[1].name, "a & b.txt");
}

TEST(FolderListing, MissingStartTagIsSupplied)
{
    EXPECT_EQ(names_in("<file name=\"a\" size=\"1\" user-perm=\"R\"/>\n</folder-listing>"), Names{"a"});
    EXPECT_EQ(names_in("<?xml version=\"1.0\"?>\n<!DOCTYPE folder-listing SYSTEM \"x.dtd\">\n"
                       "<file name=\"a\" size=\"1\" user-perm=\"R\"/></folder-listing>"),
              Names{"a"})
        << "the start tag goes after the prolog";
    EXPECT_EQ(listing_document("<folder-listing/>"), "<folder-listing/>");
}

TEST(FolderListing, StartTagGoesAtTheStartUnlessAPrologLeads)
{
    EXPECT_EQ(listing_document("x<file/></folder-listing>"), "<folder-listing>x<file/></folder-listing>")
        << "text in front of the first element belongs to the root";
    EXPECT_EQ(names_in("\n  <file name=\"a\" size=\"1\" user-perm=\"R\"/>\n</folder-listing>"), Names{"a"});
    EXPECT_EQ(names_in("listing:<file name=\"a\" size=\"1\" user-perm=\"R\"/></folder-listing>"), Names{"a"});
    EXPECT_EQ(listing_document("<?xml version=\"1.0\"?><!-- c --><!DOCTYPE l [<!ELEMENT l ANY>]>\n<file/>"),
              "<?xml version=\"1.0\"?><!-- c --><!DOCTYPE l [<!ELEMENT l ANY>]><folder-listing>\n<file/>");
    EXPECT_EQ(listing_document("<?xml version=\"1.0\""), "<folder-listing><?xml version=\"1.0\"")
        << "an unfinished declaration is no prolog";
}

TEST(FolderListing, OnlyExactNamesAtTheTopCount)
{
    EXPECT_EQ(names_in("<Folder-Listing><file name=\"a\" size=\"1\" user-perm=\"R\"/></Folder-Listing>"
                       "</folder-listing>"),
              Names{})
        << "a differently cased root is not the listing";
    EXPECT_EQ(names_in("<folder-listing><File name=\"a\" size=\"1\" user-perm=\"R\"/></folder-listing>"), Names{});
    EXPECT_EQ(names_in("<folder-listing></folder-listing>"), Names{});
}

TEST(FolderListing, ElementsWithoutAllAttributesOrWithABadSizeGiveNoEntry)
{
    EXPECT_EQ(names_in("<folder-listing>"
                       "<file size=\"1\" user-perm=\"R\"/>"
                       "<file name=\"no-size\" user-perm=\"R\"/>"
                       "<file name=\"no-perm\" size=\"1\"/>"
                       "<file name=\"words\" size=\"ten\" user-perm=\"R\"/>"
                       "<file name=\"huge\" size=\"99999999999\" user-perm=\"R\"/>"
                       "<file name=\"trailing\" size=\"12k\" user-perm=\"R\"/>"
                       "<file name=\"good\" size=\"2147483647\" user-perm=\"\"/>"
                       "</folder-listing>"),
              Names{"good"});
}

TEST(FolderListing, TextThatIsNoDocumentGivesNothing)
{
    std::vector<ListingFileElement> elements;
    for (const char* text : {"", "<folder-listing>", "<folder-listing><file name=\"a\"></folder-listing>",
                             "<folder-listing><file name=\"a\" size=\"1\" user-perm=\"R\"/>"}) {
        EXPECT_FALSE(easyxml_listing_files(listing_document(text), elements)) << text;
        EXPECT_TRUE(elements.empty());
    }
}

TEST(FolderListing, SizesAreStrictDecimalNumbers)
{
    std::int32_t size = 0;
    EXPECT_TRUE(parse_listing_size("0", size));
    EXPECT_TRUE(parse_listing_size("123", size));
    EXPECT_EQ(size, 123);
    for (const char* bad : {"", " 1", "1 ", "0x10", "+1", "1.5", "2147483648"}) {
        EXPECT_FALSE(parse_listing_size(bad, size)) << bad;
    }
}

TEST(FileInfoList, LookupIsExactAndFindsTheFirst)
{
    FileInfoList list;
    EXPECT_EQ(list.getIndexByName("a"), -1) << "an empty folder";
    list.add({"a.txt", 1, "R"});
    list.add({"b.txt", 2, "R"});
    list.add({"a.txt", 3, "R"});
    EXPECT_EQ(list.getIndexByName("a.txt"), 0);
    EXPECT_EQ(list.getIndexByName("b.txt"), 1);
    EXPECT_EQ(list.getIndexByName("A.TXT"), -1);
    EXPECT_EQ(list.getIndexByName("a.tx"), -1);
    list.clear();
    EXPECT_EQ(list.size(), 0u);
    EXPECT_EQ(list.getIndexByName("a.txt"), -1);
}

}  // namespace
