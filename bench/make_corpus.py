#!/usr/bin/env python3
"""Writes a deterministic text corpus for the benchmark.

The same seed and size always give the same bytes. Words follow a Zipf law over a vocabulary
of common English words and made-up English, Spanish, German and French words (accented
letters, ß, capitals that need lower-casing), with punctuation, digits and now and then a
Greek or Cyrillic line that holds no counted word. With --ascii the text holds ASCII only, so
that the classic tr/sort/uniq pipe counts exactly the same words.

usage: make_corpus.py --seed N --megabytes M [--ascii] OUTPUT
"""
import argparse
import bisect
import itertools
import random

COMMON_ENGLISH = """the of and to a in is it you that he was for on are with as i his they be at
one have this from or had by hot word but what some we can out other were all there when up use
your how said an each she which do their time if will way about many then them write would like
so these her long make thing see him two has look more day could go come did number sound no
most people my over know water than call first who may down side been now find any new work
part take get place made live where after back little only round man year came show every good
me give our under name very through just form sentence great think say help low line differ
turn cause much mean before move right boy old too same tell does set three want air well also
play small end put home read hand port large spell add even land here must big high such follow
act why ask men change went light kind off need house picture try us again animal point mother
world near build self earth father head stand own page should country found answer school grow
study still learn plant cover food sun four between state keep eye never last let thought city
tree cross farm hard start might story saw far sea draw left late run don't while press close
night real life few north open seem together next white children begin got walk example ease
paper group always music those both mark often letter until mile river car feet care second
book carry took science eat room friend began idea fish mountain stop once base hear horse cut
sure watch color face wood main enough plain girl usual young ready above ever red list though
feel talk bird soon body dog family direct pose leave song measure door product black short
numeral class wind question happen complete ship area half rock order fire south problem piece
told knew pass since top whole king space heard best hour better true during hundred five
remember step early hold west ground interest reach fast verb sing listen six table travel less
morning ten simple several vowel toward war lay against pattern slow center love person money
serve appear road map rain rule govern pull cold notice voice unit power town fine certain fly
fall lead cry dark machine note wait plan figure star box noun field rest correct able pound
done beauty drive stood contain front teach week final gave green oh quick develop ocean warm
free minute strong special mind behind clear tail produce fact street inch multiply nothing
course stay wheel full force blue object decide surface deep moon island foot system busy test
record boat common gold possible plane stead dry wonder laugh thousand ago ran check game shape
equate miss brought heat snow tire bring yes distant fill east paint language among""".split()

COMMON_FOREIGN = """el la los las de que y en un una por con para como más pero sus le ya
este sí porque esta entre cuando muy sin sobre también me hasta hay donde quien desde todo nos
durante todos uno les ni contra otros ese eso ante ellos esto mí antes algunos qué unos yo otro
otras otra él tanto esa estos mucho quienes nada muchos cual poco ella estar estas algunas algo
nosotros niño niña mañana año señor corazón canción está además según allí aquí después país
der die das und ist nicht ein eine zu den mit von sich auf für dem des im auch es an als wie
aus bei oder nach über wird noch wenn nur vor zur dass größe straße fuß weiß schön müssen
können würde für grün über mädchen bücher häuser äpfel öffnen übel größer heißen
le et à les des est pas du que une dans qui pour sur au avec il se ne plus par son ce sont
être où été français garçon très déjà voilà après château forêt hôtel élève père mère frère
fenêtre leçon reçu noël naïve façade coïncidence""".split()

SYLLABLES = {
    "en": ["th", "er", "an", "re", "on", "at", "en", "nd", "ti", "es", "or", "te", "of", "ed",
           "is", "it", "al", "ar", "st", "to", "nt", "ng", "se", "ha", "as", "ou", "io", "le",
           "ve", "co", "me", "de", "hi", "ri", "ro", "ic", "ne", "ea", "ra", "ce", "ly", "ing",
           "tion", "ment", "ness"],
    "es": ["ca", "sa", "mo", "ri", "ción", "pe", "ña", "ño", "lá", "té", "dí", "gó", "tú", "ve",
           "la", "que", "rro", "mien", "to", "dad", "ble", "es", "ar", "ir", "ón", "ía"],
    "de": ["sch", "ung", "ei", "ie", "ä", "ö", "ü", "ß", "en", "er", "ge", "keit", "lich",
           "stra", "hau", "bau", "zeit", "wer", "ch", "ck", "tz", "pf", "nd", "ss"],
    "fr": ["é", "è", "ê", "à", "ç", "eau", "oi", "ou", "ai", "ille", "ment", "ette", "té", "ais",
           "on", "re", "le", "que", "ô", "î", "û", "ë", "ï", "ier", "ière"],
}

GREEK = "Η γρήγορη καφέ αλεπού πηδάει πάνω από τον τεμπέλη σκύλο"
CYRILLIC = "Съешь же ещё этих мягких французских булок да выпей чаю"
PUNCTUATION = [" ", " ", " ", " ", " ", " ", ", ", "; ", ": ", " - ", " (", ") ", " \"", "\" ",
               " ¿", "? ", " «", "» ", "! ", "'s ", " ¡"]


def ascii_fold(word):
    table = str.maketrans("áàâäãéèêëíìîïóòôöõúùûüñçßÁÉÍÓÚÜÑ", "aaaaaeeeeiiiiooooouuuuncsAEIOUUN")
    return word.translate(table)


def make_vocabulary(rng, size, ascii_only):
    words = list(dict.fromkeys(COMMON_ENGLISH + COMMON_FOREIGN))
    seen = set(words)
    languages = ["en", "en", "es", "de", "fr"]
    while len(words) < size:
        syllables = SYLLABLES[rng.choice(languages)]
        word = "".join(rng.choice(syllables) for _ in range(rng.choice([2, 2, 3, 3, 3, 4, 5])))
        if rng.random() < 0.002:
            word = word * rng.randint(8, 30)  # a few very long words, up to and past 255 bytes
        if word not in seen:
            seen.add(word)
            words.append(word)
    if ascii_only:
        # The pipe keeps words whole while the system cuts them at 255 bytes: the totals can
        # only agree on words that fit.
        words = list(dict.fromkeys(ascii_fold(w) for w in words if len(w) <= 255))
    return words


def casing(rng, word, sentence_start):
    roll = rng.random()
    if sentence_start or roll < 0.04:
        return word[:1].upper() + word[1:]
    if roll < 0.05:
        return word.upper()
    return word


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--megabytes", type=float, default=40)
    parser.add_argument("--vocabulary", type=int, default=60000)
    parser.add_argument("--ascii", action="store_true")
    parser.add_argument("output")
    args = parser.parse_args()

    rng = random.Random(args.seed)
    words = make_vocabulary(rng, args.vocabulary, args.ascii)
    # Zipf weights, exponent 1: the few common words make most of the text.
    cumulative = list(itertools.accumulate(1.0 / (rank + 1) for rank in range(len(words))))
    target = int(args.megabytes * 1_000_000)
    punctuation = [p for p in PUNCTUATION if p.isascii()] if args.ascii else PUNCTUATION

    written = 0
    with open(args.output, "w", encoding="utf-8", newline="\n") as out:
        while written < target:
            lines = []
            for _ in range(200):
                roll = rng.random()
                if not args.ascii and roll < 0.004:
                    lines.append(GREEK if roll < 0.002 else CYRILLIC)
                    continue
                picks = rng.choices(words, cum_weights=cumulative, k=rng.randint(6, 18))
                parts = []
                for n, word in enumerate(picks):
                    parts.append(casing(rng, word, n == 0))
                    r = rng.random()
                    if r < 0.03:
                        parts.append(" %d " % rng.randint(0, 99999))
                    elif n + 1 < len(picks):
                        parts.append(rng.choice(punctuation) if r < 0.25 else " ")
                lines.append("".join(parts) + rng.choice([".", ".", ".", "!", "?", "..."]))
            chunk = "\n".join(lines) + "\n"
            out.write(chunk)
            written += len(chunk.encode("utf-8"))


if __name__ == "__main__":
    main()
