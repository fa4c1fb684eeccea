// Tag sets that travel with audio through the pipeline: a generic keyed container, TAuTags, and
// four sets with fixed keys built on it (TId3v1Tags, TId3v2Tags, TCommonTags, TAPEv2Tags).
//
// A set only holds values; it reads and writes no files. Each set declares its keys, with their
// default values, when it is constructed, and only declared keys exist: setting any other key
// does nothing and reading it gives an empty value, empty text or 0. Keys are 8-bit strings
// compared without regard to (ASCII) case and kept in sorted order.
//
// Threading: no locking. A set is used by one thread at a time (inputs fill their sets while
// opening; the window thread reads and copies them between runs).
//
// Ownership: each set is a plain value object owned by the component that holds it. Copying a
// set copies its keys, values and flags; Assign instead copies only the keys both sets declare.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// A tag value: empty, a signed integer of up to 32 bits, 8-bit text (UTF-8) or UTF-16 text.
// Two values are equal only when they hold the same kind and the same contents, so an empty
// value and empty text differ.
using TTagValue = std::variant<std::monostate, std::int32_t, std::string, std::u16string>;

// The record each declared key owns.
struct TTagValueInfo {
    TTagValue Value;
};

class TAuTags {
public:
    TAuTags();
    virtual ~TAuTags();
    TAuTags(const TAuTags &) = default;
    TAuTags &operator=(const TAuTags &) = default;
    TAuTags(TAuTags &&) = default;
    TAuTags &operator=(TAuTags &&) = default;

    // Number of declared keys.
    int GetIdCount() const;
    // The key at Index in sorted order, as it was declared; empty text when Index is out of range.
    std::string GetId(int Index) const;

    // A copy of the key's value; empty when the key is not declared.
    TTagValue GetValue(std::string_view Id) const;
    // Stores Value under a declared key when it differs from the stored one; then FEmpty becomes
    // false and FChanged true. An undeclared key or an equal value changes nothing.
    void SetValue(std::string_view Id, const TTagValue &Value);

    // An integer value as it is; text that reads as a decimal integer (optional sign, digits,
    // within 32 bits, blanks around it allowed) converted; 0 otherwise and for undeclared keys.
    std::int32_t GetAsInteger(std::string_view Id) const;
    // An integer as decimal text, text as 8-bit text; empty text otherwise.
    std::string GetAsString(std::string_view Id) const;
    // The same as UTF-16 text.
    std::u16string GetAsWideString(std::string_view Id) const;

    // Every value becomes empty; FEmpty and FChanged become true.
    void Clear();

    // Clear, then SetValue for every key of Source with its value, so only the keys both sets
    // declare are copied (any kind of set may be assigned to any other).
    virtual void Assign(const TAuTags &Source);
    // The same in the other direction: Dest.Assign(*this).
    virtual void AssignTo(TAuTags &Dest) const;

    // True after construction and after Clear; false once a value has been changed.
    bool Empty() const { return FEmpty; }
    // Set by every change and by Clear; cleared only by its owner (SetChanged(false)), e.g.
    // after the set has been written out.
    bool Changed() const { return FChanged; }
    void SetChanged(bool Value) { FChanged = Value; }

protected:
    struct TTagEntry {
        std::string Id;
        TTagValueInfo Info;
    };

    // Declares a key with its default value; a key that exists already (in any case) is ignored.
    // Declaring does not touch FEmpty or FChanged.
    void AddId(std::string_view Id, const TTagValue &Default = TTagValue());

    // The entry of a declared key, or null.
    const TTagEntry *Find(std::string_view Id) const;
    TTagEntry *Find(std::string_view Id);

    std::vector<TTagEntry> FValues; // sorted by key without regard to case
    bool FEmpty = true;
    bool FChanged = false;
};

// The genre numbers of an ID3v1 block, 0..147.
using TId3v1TagsGenreId = std::uint8_t;

// Number of names in the ID3v1 genre list (numbers 0 .. 147).
constexpr int Id3v1GenreCount = 148;
// The genre shown for a number outside the list ("Other").
constexpr TId3v1TagsGenreId Id3v1DefaultGenre = 12;
// The name of a genre number; "Other" for a number outside 0..147.
const char *Id3v1GenreName(int GenreId);

// The fields of an ID3v1 block. Keys: "album", "artist", "comment", "genre" (default 12),
// "title", "track", "year".
class TId3v1Tags : public TAuTags {
public:
    TId3v1Tags();

    std::string Title() const;
    void SetTitle(const std::string &Value);
    // The stored text (of either kind) as 8-bit text; empty text when the value is not text.
    std::string Artist() const;
    void SetArtist(const std::string &Value);
    std::string Album() const;
    void SetAlbum(const std::string &Value);
    std::string Comment() const;
    void SetComment(const std::string &Value);
    std::uint16_t Year() const;
    void SetYear(std::uint16_t Value);
    std::uint8_t Track() const;
    void SetTrack(std::uint8_t Value);
    // The stored genre number; 12 ("Other") for a number outside 0..147.
    TId3v1TagsGenreId GenreId() const;
    void SetGenreId(TId3v1TagsGenreId Value);
    // The name of GenreId.
    std::string Genre() const;
    // Trims blanks, looks the name up in the genre list without regard to case (first match
    // wins) and stores its number; a name not in the list changes nothing.
    void SetGenre(const std::string &Value);
};

// ID3v2 text frames. Declares the ID3v2.2 and the ID3v2.3 frame ids of twelve fields (24 keys);
// FNew chooses which of them the properties use (true, the default: the four-character ids).
class TId3v2Tags : public TAuTags {
public:
    TId3v2Tags();

    bool New() const { return FNew; }
    void SetNew(bool Value) { FNew = Value; }

    std::u16string Album() const;
    void SetAlbum(const std::u16string &Value);
    std::u16string Artist() const;
    void SetArtist(const std::u16string &Value);
    std::u16string Genre() const;
    void SetGenre(const std::u16string &Value);
    std::u16string Title() const;
    void SetTitle(const std::u16string &Value);
    std::string Track() const;
    void SetTrack(const std::string &Value);
    std::string Year() const;
    void SetYear(const std::string &Value);
    std::u16string Comment() const;
    void SetComment(const std::u16string &Value);
    std::u16string Composer() const;
    void SetComposer(const std::u16string &Value);
    std::u16string Encoder() const;
    void SetEncoder(const std::u16string &Value);
    std::u16string Copyright() const;
    void SetCopyright(const std::u16string &Value);
    std::u16string Language() const;
    void SetLanguage(const std::u16string &Value);
    std::u16string Link() const;
    void SetLink(const std::u16string &Value);

protected:
    // The key a property uses under the current FNew.
    const char *Key(const char *Old, const char *New) const { return FNew ? New : Old; }

    bool FNew = true;
};

// The fields every tagged file input can fill. Keys (default: empty UTF-16 text): "Album",
// "Artist", "Genre", "Title", "Track", "Year".
class TCommonTags : public TAuTags {
public:
    TCommonTags();

    std::u16string Title() const;
    void SetTitle(const std::u16string &Value);
    std::u16string Album() const;
    void SetAlbum(const std::u16string &Value);
    std::u16string Artist() const;
    void SetArtist(const std::u16string &Value);
    std::u16string Genre() const;
    void SetGenre(const std::u16string &Value);
    std::string Year() const;
    void SetYear(const std::string &Value);
    std::string Track() const;
    void SetTrack(const std::string &Value);
};

// APEv2 items (default: empty). ISBN, ISRC, BarCode, LabelCode, Catalog, Year, RecordDate and
// Track are 8-bit text, the others UTF-16 text.
class TAPEv2Tags : public TAuTags {
public:
    TAPEv2Tags();

    std::u16string Artist() const;
    void SetArtist(const std::u16string &Value);
    std::u16string Composer() const;
    void SetComposer(const std::u16string &Value);
    std::u16string Album() const;
    void SetAlbum(const std::u16string &Value);
    std::u16string DebutAlbum() const;
    void SetDebutAlbum(const std::u16string &Value);
    std::u16string Publisher() const;
    void SetPublisher(const std::u16string &Value);
    std::u16string Conductor() const;
    void SetConductor(const std::u16string &Value);
    std::u16string Copyright() const;
    void SetCopyright(const std::u16string &Value);
    std::string ISBN() const;
    void SetISBN(const std::string &Value);
    std::string ISRC() const;
    void SetISRC(const std::string &Value);
    std::string BarCode() const;
    void SetBarCode(const std::string &Value);
    std::string LabelCode() const;
    void SetLabelCode(const std::string &Value);
    std::string Catalog() const;
    void SetCatalog(const std::string &Value);
    std::u16string Language() const;
    void SetLanguage(const std::u16string &Value);
    std::u16string Genre() const;
    void SetGenre(const std::u16string &Value);
    std::string Year() const;
    void SetYear(const std::string &Value);
    std::string RecordDate() const;
    void SetRecordDate(const std::string &Value);
    std::u16string RecordLocation() const;
    void SetRecordLocation(const std::u16string &Value);
    std::u16string File_() const;
    void SetFile_(const std::u16string &Value);
    std::u16string Related() const;
    void SetRelated(const std::u16string &Value);
    std::u16string Abstract() const;
    void SetAbstract(const std::u16string &Value);
    std::u16string Bibliography() const;
    void SetBibliography(const std::u16string &Value);
    std::string Track() const;
    void SetTrack(const std::string &Value);
    std::u16string Title() const;
    void SetTitle(const std::u16string &Value);
    std::u16string SubTitle() const;
    void SetSubTitle(const std::u16string &Value);
    std::u16string Comment() const;
    void SetComment(const std::u16string &Value);
};
