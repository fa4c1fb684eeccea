// Tag sets: declared keys and their order, value kinds and conversions, change flags, the ID3v1
// genre rules, the ID3v2 key generations, assignment between every pair of set kinds, and the
// UTF-8/UTF-16 helpers the wide getters rely on.
#include "AuTags.h"
#include "AuText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Ids(const TAuTags &T)
{
    std::vector<std::string> R;
    for (int I = 0; I < T.GetIdCount(); ++I)
        R.push_back(T.GetId(I));
    return R;
}

std::string Lower(std::string S)
{
    for (char &C : S)
        C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
    return S;
}

struct TKind {
    const char *Name;
    std::function<std::unique_ptr<TAuTags>()> Make;
    int KeyCount;
};

const std::vector<TKind> &Kinds()
{
    static const std::vector<TKind> K = {
        {"Id3v1", [] { return std::make_unique<TId3v1Tags>(); }, 7},
        {"Id3v2", [] { return std::make_unique<TId3v2Tags>(); }, 24},
        {"Common", [] { return std::make_unique<TCommonTags>(); }, 6},
        {"APEv2", [] { return std::make_unique<TAPEv2Tags>(); }, 25},
    };
    return K;
}

} // namespace

// --- keys ------------------------------------------------------------------------------------

TEST(TagKeys, EverySetDeclaresItsKeysInSortedOrder)
{
    EXPECT_EQ(Ids(TId3v1Tags()), (std::vector<std::string>{"album", "artist", "comment",
                                     "genre", "title", "track", "year"}));
    EXPECT_EQ(Ids(TCommonTags()),
              (std::vector<std::string>{"Album", "Artist", "Genre", "Title", "Track", "Year"}));
    EXPECT_EQ(Ids(TId3v2Tags()),
              (std::vector<std::string>{"COM", "COMM", "TAL", "TALB", "TCM", "TCO", "TCOM",
                  "TCON", "TCOP", "TCR", "TEN", "TENC", "TIT2", "TLA", "TLAN", "TP1", "TPE1",
                  "TRCK", "TRK", "TT2", "TYE", "TYER", "WXX", "WXXX"}));
    // Mixed-case keys sort without regard to case ("Debut album" before "EAN/UPC", "ISBN"
    // before "ISRC", "Record Date" before "Record Location" before "Related").
    const auto Ape = Ids(TAPEv2Tags());
    EXPECT_EQ(Ape, (std::vector<std::string>{"Abstract", "Album", "Artist", "Bibliography",
                       "Catalog", "Comment", "Composer", "Conductor", "Copyright",
                       "Debut album", "EAN/UPC", "File", "Genre", "ISBN", "ISRC", "Language",
                       "LC", "Publisher", "Record Date", "Record Location", "Related",
                       "Subtitle", "Title", "Track", "Year"}));
    for (const TKind &K : Kinds())
        EXPECT_EQ(K.Make()->GetIdCount(), K.KeyCount) << K.Name;
}

TEST(TagKeys, IndexesOutsideTheListAndUndeclaredKeysReadEmpty)
{
    TId3v1Tags T;
    EXPECT_EQ(T.GetId(-1), "");
    EXPECT_EQ(T.GetId(7), "");
    EXPECT_EQ(T.GetId(1000000), "");
    EXPECT_TRUE(std::holds_alternative<std::monostate>(T.GetValue("nosuch")));
    EXPECT_EQ(T.GetAsInteger("nosuch"), 0);
    EXPECT_EQ(T.GetAsString("nosuch"), "");
    EXPECT_EQ(T.GetAsWideString("nosuch"), u"");

    T.SetValue("nosuch", std::string("x"));
    EXPECT_EQ(T.GetIdCount(), 7) << "setting an undeclared key must not add it";
    EXPECT_TRUE(T.Empty());
    EXPECT_FALSE(T.Changed());
}

TEST(TagKeys, KeysMatchWithoutRegardToCase)
{
    TId3v1Tags T;
    T.SetValue("TITLE", std::string("Song"));
    EXPECT_EQ(T.Title(), "Song");
    EXPECT_EQ(T.GetAsString("Title"), "Song");
    EXPECT_EQ(T.GetAsString("tItLe"), "Song");
    EXPECT_EQ(T.GetId(4), "title") << "the declared spelling is kept";

    TAPEv2Tags A;
    A.SetValue("ean/upc", std::string("4006381333931"));
    EXPECT_EQ(A.BarCode(), "4006381333931");
    A.SetValue("record date", std::string("2012-05-01"));
    EXPECT_EQ(A.RecordDate(), "2012-05-01");
}

// --- values and flags ------------------------------------------------------------------------

TEST(TagValues, ChangeFlagsFollowRealChangesOnly)
{
    TCommonTags T;
    EXPECT_TRUE(T.Empty());
    EXPECT_FALSE(T.Changed());

    T.SetTitle(u"One");
    EXPECT_FALSE(T.Empty());
    EXPECT_TRUE(T.Changed());

    T.SetChanged(false);
    T.SetTitle(u"One"); // the same value again
    EXPECT_FALSE(T.Changed());
    T.SetValue("Title", std::string("One")); // same letters, other kind: a change
    EXPECT_TRUE(T.Changed());

    T.SetChanged(false);
    T.Clear();
    EXPECT_TRUE(T.Empty());
    EXPECT_TRUE(T.Changed());
    for (int I = 0; I < T.GetIdCount(); ++I)
        EXPECT_TRUE(std::holds_alternative<std::monostate>(T.GetValue(T.GetId(I))));
    // Empty text differs from an empty value.
    T.SetChanged(false);
    T.SetYear("");
    EXPECT_TRUE(T.Changed());
    EXPECT_FALSE(T.Empty());
}

TEST(TagValues, ReadingConvertsBetweenKinds)
{
    TAPEv2Tags T;
    T.SetValue("Year", std::int32_t{-2012});
    T.SetValue("Track", std::string(" 7 "));
    T.SetValue("ISBN", std::string("12abc"));
    T.SetValue("ISRC", std::string("99999999999"));
    T.SetValue("Catalog", u"+42");
    T.SetValue("LC", std::string("+-3"));
    T.SetTitle(u"Caf\u00e9 \U0001F3B5");
    T.SetValue("Album", std::string("Na\xc3\xafve"));

    EXPECT_EQ(T.GetAsInteger("Year"), -2012);
    EXPECT_EQ(T.GetAsString("Year"), "-2012");
    EXPECT_EQ(T.GetAsWideString("Year"), u"-2012");
    EXPECT_EQ(T.GetAsInteger("Track"), 7);
    EXPECT_EQ(T.GetAsInteger("ISBN"), 0) << "trailing letters: not a number";
    EXPECT_EQ(T.GetAsInteger("ISRC"), 0) << "beyond 32 bits: not a number";
    EXPECT_EQ(T.GetAsInteger("Catalog"), 42);
    EXPECT_EQ(T.GetAsInteger("LC"), 0);
    EXPECT_EQ(T.GetAsInteger("Title"), 0);
    EXPECT_EQ(T.GetAsString("Title"), "Caf\xc3\xa9 \xf0\x9f\x8e\xb5");
    EXPECT_EQ(T.Album(), u"Na\u00efve");
    EXPECT_EQ(T.GetAsString("Composer"), "") << "empty value";
    EXPECT_EQ(T.GetAsInteger("Composer"), 0);

    // Every typed property reaches its own key.
    T.SetFile_(u"f");
    T.SetSubTitle(u"s");
    T.SetDebutAlbum(u"d");
    T.SetLabelCode("LC 0199");
    EXPECT_EQ(T.GetAsWideString("File"), u"f");
    EXPECT_EQ(T.GetAsWideString("Subtitle"), u"s");
    EXPECT_EQ(T.GetAsWideString("Debut album"), u"d");
    EXPECT_EQ(T.GetAsString("LC"), "LC 0199");
    EXPECT_TRUE(std::holds_alternative<std::string>(T.GetValue("LC")));
    EXPECT_TRUE(std::holds_alternative<std::u16string>(T.GetValue("File")));
}

// --- ID3v1 -----------------------------------------------------------------------------------

TEST(Id3v1, DefaultsAndTypedProperties)
{
    TId3v1Tags T;
    EXPECT_EQ(T.GenreId(), 12);
    EXPECT_EQ(T.Genre(), "Other");
    EXPECT_EQ(T.Year(), 0);
    EXPECT_EQ(T.Track(), 0);
    EXPECT_EQ(T.Title(), "");
    EXPECT_TRUE(T.Empty());

    T.SetYear(2012);
    T.SetTrack(255);
    T.SetArtist("Someone");
    EXPECT_EQ(T.Year(), 2012);
    EXPECT_EQ(T.Track(), 255);
    EXPECT_TRUE(std::holds_alternative<std::int32_t>(T.GetValue("year")));
    EXPECT_EQ(T.GetAsString("track"), "255");
    EXPECT_EQ(T.Artist(), "Someone");

    // Artist reads only text; the other text getters convert numbers.
    T.SetValue("artist", std::int32_t{5});
    T.SetValue("album", std::int32_t{5});
    EXPECT_EQ(T.Artist(), "");
    EXPECT_EQ(T.Album(), "5");
    T.SetValue("artist", u"W\u00fcrde");
    EXPECT_EQ(T.Artist(), "W\xc3\xbcrde");
    T.SetValue("year", std::string("1999"));
    EXPECT_EQ(T.Year(), 1999);
}

TEST(Id3v1, GenreLookupTrimsIgnoresCaseAndKeepsUnknownNames)
{
    TId3v1Tags T;
    T.SetGenre("  jazz \t");
    EXPECT_EQ(T.GenreId(), 8);
    EXPECT_EQ(T.Genre(), "Jazz");

    T.SetChanged(false);
    T.SetGenre("Polka Fusion Deluxe");
    EXPECT_EQ(T.GenreId(), 8);
    EXPECT_FALSE(T.Changed());
    T.SetGenre("");
    EXPECT_EQ(T.GenreId(), 8);

    T.SetGenre("a cappella");
    EXPECT_EQ(T.GenreId(), 123);
    T.SetGenre("SYNTHPOP");
    EXPECT_EQ(T.GenreId(), 147);

    // Numbers outside 0..147 read as Other instead of indexing past the list.
    for (std::int32_t Bad : {148, 200, 255, -1, -1000}) {
        T.SetValue("genre", Bad);
        EXPECT_EQ(T.GenreId(), 12) << Bad;
        EXPECT_EQ(T.Genre(), "Other") << Bad;
    }
    T.SetValue("genre", std::string("17"));
    EXPECT_EQ(T.Genre(), "Rock");
}

TEST(Id3v1, GenreListHasOneDistinctNameForEachNumber)
{
    const std::pair<int, const char *> Spellings[] = {{0, "Blues"}, {22, "Death metal"},
        {40, "Alt. Rock"}, {46, "Instrumental pop"}, {47, "Instrumental rock"},
        {67, "Psychedelic"}, {79, "Hard Rock"}, {80, "Folk"}, {104, "Chamber music"},
        {118, "Rhythmic soul"}, {123, "A Cappella"}, {147, "Synthpop"}};
    for (const auto &[Id, Name] : Spellings)
        EXPECT_STREQ(Id3v1GenreName(Id), Name) << Id;

    std::set<std::string> Seen;
    TId3v1Tags T;
    for (int Id = 0; Id < Id3v1GenreCount; ++Id) {
        const std::string Name = Id3v1GenreName(Id);
        ASSERT_FALSE(Name.empty()) << Id;
        EXPECT_TRUE(Seen.insert(Lower(Name)).second) << "duplicate name " << Name;
        // Setting any listed name selects its own number.
        T.SetGenre(Name);
        EXPECT_EQ(T.GenreId(), Id) << Name;
    }
    EXPECT_STREQ(Id3v1GenreName(148), "Other");
}

// --- ID3v2 -----------------------------------------------------------------------------------

TEST(Id3v2, NewChoosesWhichKeyGenerationThePropertiesUse)
{
    TId3v2Tags T;
    EXPECT_TRUE(T.New());
    T.SetTitle(u"Four");
    T.SetTrack("3/12");
    T.SetLink(u"http://127.0.0.1/");
    EXPECT_EQ(T.GetAsWideString("TIT2"), u"Four");
    EXPECT_EQ(T.GetAsString("TRCK"), "3/12");
    EXPECT_EQ(T.GetAsWideString("WXXX"), u"http://127.0.0.1/");
    EXPECT_TRUE(std::holds_alternative<std::string>(T.GetValue("TRCK")));

    T.SetNew(false);
    EXPECT_EQ(T.Title(), u"") << "the old generation has its own keys";
    T.SetTitle(u"Three");
    T.SetComment(u"c");
    EXPECT_EQ(T.GetAsWideString("TT2"), u"Three");
    EXPECT_EQ(T.GetAsWideString("COM"), u"c");
    EXPECT_EQ(T.GetAsWideString("TIT2"), u"Four");
    T.SetNew(true);
    EXPECT_EQ(T.Title(), u"Four");
    EXPECT_EQ(T.Comment(), u"");
}

// --- assignment ------------------------------------------------------------------------------

TEST(TagAssign, CopiesExactlyTheKeysBothSetsDeclare)
{
    // Shared keys (without regard to case), worked out by hand from the declared lists.
    const int Shared[4][4] = {
        //        v1  v2  Com  APE
        /*v1*/ {7, 0, 6, 7},
        /*v2*/ {0, 24, 0, 0},
        /*Com*/ {6, 0, 6, 6},
        /*APE*/ {7, 0, 6, 25},
    };
    for (std::size_t S = 0; S < Kinds().size(); ++S) {
        for (std::size_t D = 0; D < Kinds().size(); ++D) {
            SCOPED_TRACE(std::string(Kinds()[S].Name) + " -> " + Kinds()[D].Name);
            auto Src = Kinds()[S].Make();
            auto Dst = Kinds()[D].Make();
            for (int I = 0; I < Src->GetIdCount(); ++I)
                Src->SetValue(Src->GetId(I), u"src " + Utf8ToUtf16(Lower(Src->GetId(I))));
            for (int I = 0; I < Dst->GetIdCount(); ++I)
                Dst->SetValue(Dst->GetId(I), std::string("old"));

            auto ViaAssignTo = Kinds()[D].Make();
            Src->AssignTo(*ViaAssignTo);
            Dst->Assign(*Src);

            int Copied = 0;
            for (int I = 0; I < Dst->GetIdCount(); ++I) {
                const std::string Id = Dst->GetId(I);
                const TTagValue V = Dst->GetValue(Id);
                EXPECT_EQ(V, ViaAssignTo->GetValue(Id)) << Id;
                if (std::holds_alternative<std::monostate>(V))
                    continue; // cleared, not declared by the source
                EXPECT_EQ(V, TTagValue(u"src " + Utf8ToUtf16(Lower(Id)))) << Id;
                ++Copied;
            }
            EXPECT_EQ(Copied, Shared[S][D]);
            EXPECT_TRUE(Dst->Changed());
            EXPECT_EQ(Dst->Empty(), Copied == 0);
        }
    }
}

TEST(TagAssign, OwnKindCopiesEverythingAndSelfAssignmentKeepsValues)
{
    TId3v2Tags A;
    A.SetNew(false);
    A.SetTitle(u"old key");
    A.SetNew(true);
    A.SetTitle(u"new key");
    A.SetYear("2001");
    TId3v2Tags B;
    B.Assign(A);
    EXPECT_EQ(B.Title(), u"new key");
    EXPECT_EQ(B.GetAsWideString("TT2"), u"old key");
    EXPECT_EQ(B.Year(), "2001");

    TId3v1Tags V1;
    V1.SetTitle("kept");
    V1.SetGenreId(8);
    V1.Assign(V1);
    EXPECT_EQ(V1.Title(), "kept");
    EXPECT_EQ(V1.GenreId(), 8);

    // A number travels as a number: an ID3v1 genre lands in the common set as 8.
    TCommonTags C;
    C.Assign(V1);
    EXPECT_EQ(C.Genre(), u"8");
    EXPECT_EQ(C.Title(), u"kept");
}

// --- text ------------------------------------------------------------------------------------

TEST(TextConversion, RoundTripsAndReplacesMalformedInput)
{
    const std::u16string Wide = u"A\u00e9\u20ac\U0001F600z";
    const std::string Utf8 = "A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z";
    EXPECT_EQ(Utf16ToUtf8(Wide), Utf8);
    EXPECT_EQ(Utf8ToUtf16(Utf8), Wide);
    EXPECT_EQ(Utf8ToUtf16(""), u"");

    // Stray continuation, truncated sequence at the end and in the middle, overlong form,
    // encoded surrogate, value beyond U+10FFFF, byte that never occurs.
    EXPECT_EQ(Utf8ToUtf16("a\x80" "b"), u"a\uFFFDb");
    EXPECT_EQ(Utf8ToUtf16("a\xe2\x82"), u"a\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("a\xe2\x82" "b"), u"a\uFFFDb");
    EXPECT_EQ(Utf8ToUtf16("\xc0\xaf"), u"\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xed\xa0\x80"), u"\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xf4\x90\x80\x80"), u"\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xff" "x"), u"\uFFFDx");

    // Unpaired surrogates.
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xef\xbf\xbdx");
    EXPECT_EQ(Utf16ToUtf8(u"x" + std::u16string(1, char16_t(0xDC00))), "x\xef\xbf\xbd");
}
