#include "AuTags.h"

#include "AuText.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <utility>

namespace {

char LowerAscii(char C)
{
    return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C;
}

// Byte order of the lower-cased keys; keys are ASCII in every set, other bytes compare as is.
int CompareIds(std::string_view A, std::string_view B)
{
    const std::size_t N = std::min(A.size(), B.size());
    for (std::size_t I = 0; I < N; ++I) {
        const auto CA = static_cast<unsigned char>(LowerAscii(A[I]));
        const auto CB = static_cast<unsigned char>(LowerAscii(B[I]));
        if (CA != CB)
            return CA < CB ? -1 : 1;
    }
    return A.size() < B.size() ? -1 : (A.size() > B.size() ? 1 : 0);
}

bool IsBlank(char C)
{
    return C == ' ' || C == '\t' || C == '\r' || C == '\n' || C == '\v' || C == '\f';
}

std::string_view Trim(std::string_view S)
{
    while (!S.empty() && IsBlank(S.front()))
        S.remove_prefix(1);
    while (!S.empty() && IsBlank(S.back()))
        S.remove_suffix(1);
    return S;
}

bool ParseDecimal(std::string_view S, std::int32_t &Out)
{
    S = Trim(S);
    if (!S.empty() && S.front() == '+') {
        S.remove_prefix(1); // from_chars accepts '-' only
        if (!S.empty() && S.front() == '-')
            return false;
    }
    std::int32_t V = 0;
    const auto [End, Ec] = std::from_chars(S.data(), S.data() + S.size(), V, 10);
    if (Ec != std::errc() || End != S.data() + S.size())
        return false;
    Out = V;
    return true;
}

// ID3v1 genres 0..79 with the 68 extensions 80..147.
constexpr const char *GenreNames[] = {
    "Blues", "Classic Rock", "Country", "Dance", "Disco", "Funk", "Grunge", "Hip-Hop",
    "Jazz", "Metal", "New Age", "Oldies", "Other", "Pop", "R&B", "Rap",
    "Reggae", "Rock", "Techno", "Industrial", "Alternative", "Ska", "Death metal", "Pranks",
    "Soundtrack", "Euro-Techno", "Ambient", "Trip-Hop", "Vocal", "Jazz+Funk", "Fusion", "Trance",
    "Classical", "Instrumental", "Acid", "House", "Game", "Sound Clip", "Gospel", "Noise",
    "Alt. Rock", "Bass", "Soul", "Punk", "Space", "Meditative", "Instrumental pop",
    "Instrumental rock", "Ethnic", "Gothic", "Darkwave", "Techno-Industrial", "Electronic",
    "Pop-Folk", "Eurodance", "Dream", "Southern Rock", "Comedy", "Cult", "Gangsta", "Top 40",
    "Christian Rap", "Pop/Funk", "Jungle", "Native American", "Cabaret", "New Wave",
    "Psychedelic", "Rave", "Showtunes", "Trailer", "Lo-Fi", "Tribal", "Acid Punk", "Acid Jazz",
    "Polka", "Retro", "Musical", "Rock & Roll", "Hard Rock",
    // 80..
    "Folk", "Folk-Rock", "National Folk", "Swing", "Fast Fusion", "Bebob", "Latin", "Revival",
    "Celtic", "Bluegrass", "Avantgarde", "Gothic Rock", "Progressive Rock", "Psychedelic Rock",
    "Symphonic Rock", "Slow Rock", "Big Band", "Chorus", "Easy Listening", "Acoustic", "Humour",
    "Speech", "Chanson", "Opera", "Chamber music", "Sonata", "Symphony", "Booty Bass", "Primus",
    "Porn Groove", "Satire", "Slow Jam", "Club", "Tango", "Samba", "Folklore", "Ballad",
    "Power Ballad", "Rhythmic soul", "Freestyle", "Duet", "Punk Rock", "Drum Solo", "A Cappella",
    "Euro-House", "Dance Hall", "Goa", "Drum & Bass", "Club-House", "Hardcore", "Terror",
    "Indie", "BritPop", "Afro-Punk", "Polsk Punk", "Beat", "Christian Gangsta Rap",
    "Heavy Metal", "Black Metal", "Crossover", "Contemporary Christian", "Christian Rock",
    "Merengue", "Salsa", "Thrash Metal", "Anime", "JPop", "Synthpop",
};
static_assert(std::size(GenreNames) == Id3v1GenreCount);

bool SameTextAscii(std::string_view A, std::string_view B)
{
    return A.size() == B.size() && CompareIds(A, B) == 0;
}

} // namespace

// --- TAuTags ---------------------------------------------------------------------------------

TAuTags::TAuTags() = default;
TAuTags::~TAuTags() = default;

int TAuTags::GetIdCount() const
{
    return static_cast<int>(FValues.size());
}

std::string TAuTags::GetId(int Index) const
{
    if (Index < 0 || Index >= GetIdCount())
        return {};
    return FValues[static_cast<std::size_t>(Index)].Id;
}

void TAuTags::AddId(std::string_view Id, const TTagValue &Default)
{
    const auto It = std::lower_bound(FValues.begin(), FValues.end(), Id,
        [](const TTagEntry &E, std::string_view K) { return CompareIds(E.Id, K) < 0; });
    if (It != FValues.end() && CompareIds(It->Id, Id) == 0)
        return;
    FValues.insert(It, TTagEntry{std::string(Id), TTagValueInfo{Default}});
}

const TAuTags::TTagEntry *TAuTags::Find(std::string_view Id) const
{
    const auto It = std::lower_bound(FValues.begin(), FValues.end(), Id,
        [](const TTagEntry &E, std::string_view K) { return CompareIds(E.Id, K) < 0; });
    if (It != FValues.end() && CompareIds(It->Id, Id) == 0)
        return &*It;
    return nullptr;
}

TAuTags::TTagEntry *TAuTags::Find(std::string_view Id)
{
    return const_cast<TTagEntry *>(std::as_const(*this).Find(Id));
}

TTagValue TAuTags::GetValue(std::string_view Id) const
{
    const TTagEntry *E = Find(Id);
    return E ? E->Info.Value : TTagValue();
}

void TAuTags::SetValue(std::string_view Id, const TTagValue &Value)
{
    TTagEntry *E = Find(Id);
    if (!E || E->Info.Value == Value)
        return;
    E->Info.Value = Value;
    FEmpty = false;
    FChanged = true;
}

std::int32_t TAuTags::GetAsInteger(std::string_view Id) const
{
    const TTagEntry *E = Find(Id);
    if (!E)
        return 0;
    const TTagValue &V = E->Info.Value;
    std::int32_t Result = 0;
    if (const auto *I = std::get_if<std::int32_t>(&V))
        Result = *I;
    else if (const auto *S = std::get_if<std::string>(&V))
        ParseDecimal(*S, Result);
    else if (const auto *W = std::get_if<std::u16string>(&V))
        ParseDecimal(Utf16ToUtf8(*W), Result);
    return Result;
}

std::string TAuTags::GetAsString(std::string_view Id) const
{
    const TTagEntry *E = Find(Id);
    if (!E)
        return {};
    const TTagValue &V = E->Info.Value;
    if (const auto *I = std::get_if<std::int32_t>(&V))
        return std::to_string(*I);
    if (const auto *S = std::get_if<std::string>(&V))
        return *S;
    if (const auto *W = std::get_if<std::u16string>(&V))
        return Utf16ToUtf8(*W);
    return {};
}

std::u16string TAuTags::GetAsWideString(std::string_view Id) const
{
    const TTagEntry *E = Find(Id);
    if (!E)
        return {};
    const TTagValue &V = E->Info.Value;
    if (const auto *W = std::get_if<std::u16string>(&V))
        return *W;
    if (const auto *S = std::get_if<std::string>(&V))
        return Utf8ToUtf16(*S);
    if (const auto *I = std::get_if<std::int32_t>(&V))
        return Utf8ToUtf16(std::to_string(*I));
    return {};
}

void TAuTags::Clear()
{
    for (TTagEntry &E : FValues)
        E.Info.Value = TTagValue();
    FEmpty = true;
    FChanged = true;
}

void TAuTags::Assign(const TAuTags &Source)
{
    // Clearing first would wipe the very values about to be copied.
    if (&Source == this)
        return;
    Clear();
    for (const TTagEntry &E : Source.FValues)
        SetValue(E.Id, E.Info.Value);
}

void TAuTags::AssignTo(TAuTags &Dest) const
{
    Dest.Assign(*this);
}

// --- ID3v1 -----------------------------------------------------------------------------------

const char *Id3v1GenreName(int GenreId)
{
    if (GenreId < 0 || GenreId >= Id3v1GenreCount)
        GenreId = Id3v1DefaultGenre;
    return GenreNames[GenreId];
}

TId3v1Tags::TId3v1Tags()
{
    AddId("artist");
    AddId("album");
    AddId("genre", std::int32_t{Id3v1DefaultGenre});
    AddId("year");
    AddId("track");
    AddId("title");
    AddId("comment");
}

std::string TId3v1Tags::Title() const { return GetAsString("title"); }
void TId3v1Tags::SetTitle(const std::string &Value) { SetValue("title", Value); }

std::string TId3v1Tags::Artist() const
{
    const TTagValue V = GetValue("artist");
    if (const auto *S = std::get_if<std::string>(&V))
        return *S;
    if (const auto *W = std::get_if<std::u16string>(&V))
        return Utf16ToUtf8(*W);
    return {};
}
void TId3v1Tags::SetArtist(const std::string &Value) { SetValue("artist", Value); }

std::string TId3v1Tags::Album() const { return GetAsString("album"); }
void TId3v1Tags::SetAlbum(const std::string &Value) { SetValue("album", Value); }

std::string TId3v1Tags::Comment() const { return GetAsString("comment"); }
void TId3v1Tags::SetComment(const std::string &Value) { SetValue("comment", Value); }

std::uint16_t TId3v1Tags::Year() const
{
    return static_cast<std::uint16_t>(GetAsInteger("year"));
}
void TId3v1Tags::SetYear(std::uint16_t Value) { SetValue("year", std::int32_t{Value}); }

std::uint8_t TId3v1Tags::Track() const
{
    return static_cast<std::uint8_t>(GetAsInteger("track"));
}
void TId3v1Tags::SetTrack(std::uint8_t Value) { SetValue("track", std::int32_t{Value}); }

TId3v1TagsGenreId TId3v1Tags::GenreId() const
{
    // A number outside the list (also a negative one set through SetValue) reads as "Other"
    // rather than indexing past the genre names.
    const std::int32_t Id = GetAsInteger("genre");
    if (Id < 0 || Id >= Id3v1GenreCount)
        return Id3v1DefaultGenre;
    return static_cast<TId3v1TagsGenreId>(Id);
}
void TId3v1Tags::SetGenreId(TId3v1TagsGenreId Value) { SetValue("genre", std::int32_t{Value}); }

std::string TId3v1Tags::Genre() const { return Id3v1GenreName(GenreId()); }

void TId3v1Tags::SetGenre(const std::string &Value)
{
    const std::string_view Name = Trim(Value);
    const auto It = std::find_if(std::begin(GenreNames), std::end(GenreNames),
        [Name](const char *G) { return SameTextAscii(G, Name); });
    if (It != std::end(GenreNames))
        SetGenreId(static_cast<TId3v1TagsGenreId>(It - std::begin(GenreNames)));
}

// --- ID3v2 -----------------------------------------------------------------------------------

namespace {

struct TFrameIds {
    const char *Old;
    const char *New;
};

constexpr TFrameIds Id3v2Album{"TAL", "TALB"};
constexpr TFrameIds Id3v2Artist{"TP1", "TPE1"};
constexpr TFrameIds Id3v2Genre{"TCO", "TCON"};
constexpr TFrameIds Id3v2Title{"TT2", "TIT2"};
constexpr TFrameIds Id3v2Track{"TRK", "TRCK"};
constexpr TFrameIds Id3v2Year{"TYE", "TYER"};
constexpr TFrameIds Id3v2Comment{"COM", "COMM"};
constexpr TFrameIds Id3v2Composer{"TCM", "TCOM"};
constexpr TFrameIds Id3v2Encoder{"TEN", "TENC"};
constexpr TFrameIds Id3v2Copyright{"TCR", "TCOP"};
constexpr TFrameIds Id3v2Language{"TLA", "TLAN"};
constexpr TFrameIds Id3v2Link{"WXX", "WXXX"};

constexpr TFrameIds Id3v2Frames[] = {Id3v2Album, Id3v2Artist, Id3v2Genre, Id3v2Title,
    Id3v2Track, Id3v2Year, Id3v2Comment, Id3v2Composer, Id3v2Encoder, Id3v2Copyright,
    Id3v2Language, Id3v2Link};

} // namespace

TId3v2Tags::TId3v2Tags()
{
    for (const TFrameIds &F : Id3v2Frames) {
        AddId(F.Old);
        AddId(F.New);
    }
}

#define AU_ID3V2_WIDE(Name)                                                                    \
    std::u16string TId3v2Tags::Name() const                                                   \
    {                                                                                          \
        return GetAsWideString(Key(Id3v2##Name.Old, Id3v2##Name.New));                         \
    }                                                                                          \
    void TId3v2Tags::Set##Name(const std::u16string &Value)                                   \
    {                                                                                          \
        SetValue(Key(Id3v2##Name.Old, Id3v2##Name.New), Value);                                \
    }
#define AU_ID3V2_TEXT(Name)                                                                    \
    std::string TId3v2Tags::Name() const                                                      \
    {                                                                                          \
        return GetAsString(Key(Id3v2##Name.Old, Id3v2##Name.New));                             \
    }                                                                                          \
    void TId3v2Tags::Set##Name(const std::string &Value)                                      \
    {                                                                                          \
        SetValue(Key(Id3v2##Name.Old, Id3v2##Name.New), Value);                                \
    }

AU_ID3V2_WIDE(Album)
AU_ID3V2_WIDE(Artist)
AU_ID3V2_WIDE(Genre)
AU_ID3V2_WIDE(Title)
AU_ID3V2_TEXT(Track)
AU_ID3V2_TEXT(Year)
AU_ID3V2_WIDE(Comment)
AU_ID3V2_WIDE(Composer)
AU_ID3V2_WIDE(Encoder)
AU_ID3V2_WIDE(Copyright)
AU_ID3V2_WIDE(Language)
AU_ID3V2_WIDE(Link)

#undef AU_ID3V2_WIDE
#undef AU_ID3V2_TEXT

// --- Common ----------------------------------------------------------------------------------

TCommonTags::TCommonTags()
{
    for (const char *Id : {"Title", "Album", "Artist", "Genre", "Year", "Track"})
        AddId(Id, std::u16string());
}

std::u16string TCommonTags::Title() const { return GetAsWideString("Title"); }
void TCommonTags::SetTitle(const std::u16string &Value) { SetValue("Title", Value); }
std::u16string TCommonTags::Album() const { return GetAsWideString("Album"); }
void TCommonTags::SetAlbum(const std::u16string &Value) { SetValue("Album", Value); }
std::u16string TCommonTags::Artist() const { return GetAsWideString("Artist"); }
void TCommonTags::SetArtist(const std::u16string &Value) { SetValue("Artist", Value); }
std::u16string TCommonTags::Genre() const { return GetAsWideString("Genre"); }
void TCommonTags::SetGenre(const std::u16string &Value) { SetValue("Genre", Value); }
std::string TCommonTags::Year() const { return GetAsString("Year"); }
void TCommonTags::SetYear(const std::string &Value) { SetValue("Year", Value); }
std::string TCommonTags::Track() const { return GetAsString("Track"); }
void TCommonTags::SetTrack(const std::string &Value) { SetValue("Track", Value); }

// --- APEv2 -----------------------------------------------------------------------------------

TAPEv2Tags::TAPEv2Tags()
{
    for (const char *Id : {"Artist", "Composer", "Album", "Debut album", "Publisher",
             "Conductor", "Copyright", "ISBN", "ISRC", "EAN/UPC", "LC", "Catalog", "Language",
             "Genre", "Year", "Record Date", "Record Location", "File", "Related", "Abstract",
             "Bibliography", "Track", "Title", "Subtitle", "Comment"})
        AddId(Id);
}

#define AU_APE_WIDE(Name, Key)                                                                 \
    std::u16string TAPEv2Tags::Name() const { return GetAsWideString(Key); }                  \
    void TAPEv2Tags::Set##Name(const std::u16string &Value) { SetValue(Key, Value); }
#define AU_APE_TEXT(Name, Key)                                                                 \
    std::string TAPEv2Tags::Name() const { return GetAsString(Key); }                         \
    void TAPEv2Tags::Set##Name(const std::string &Value) { SetValue(Key, Value); }

AU_APE_WIDE(Artist, "Artist")
AU_APE_WIDE(Composer, "Composer")
AU_APE_WIDE(Album, "Album")
AU_APE_WIDE(DebutAlbum, "Debut album")
AU_APE_WIDE(Publisher, "Publisher")
AU_APE_WIDE(Conductor, "Conductor")
AU_APE_WIDE(Copyright, "Copyright")
AU_APE_TEXT(ISBN, "ISBN")
AU_APE_TEXT(ISRC, "ISRC")
AU_APE_TEXT(BarCode, "EAN/UPC")
AU_APE_TEXT(LabelCode, "LC")
AU_APE_TEXT(Catalog, "Catalog")
AU_APE_WIDE(Language, "Language")
AU_APE_WIDE(Genre, "Genre")
AU_APE_TEXT(Year, "Year")
AU_APE_TEXT(RecordDate, "Record Date")
AU_APE_WIDE(RecordLocation, "Record Location")
AU_APE_WIDE(File_, "File")
AU_APE_WIDE(Related, "Related")
AU_APE_WIDE(Abstract, "Abstract")
AU_APE_WIDE(Bibliography, "Bibliography")
AU_APE_TEXT(Track, "Track")
AU_APE_WIDE(Title, "Title")
AU_APE_WIDE(SubTitle, "Subtitle")
AU_APE_WIDE(Comment, "Comment")

#undef AU_APE_WIDE
#undef AU_APE_TEXT
