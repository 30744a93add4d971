#!/usr/bin/env bash
# Spoken lessons at 1.5x and 2x: how intelligible the player's sound stays,
# beside FFmpeg's atempo and Rubber Band through FFmpeg's own filter (the
# library's defaults) stretching the same sound, and what each costs.
#
# A lesson is spoken by espeak-ng and made with `zmr create --audio`. The
# player's sound is what `kovel-graph --rate R` hands SDL's disk driver; the
# other stretchers take the sound the player plays at 1x. pocketsphinx
# transcribes each result with a language model of the lesson's own words
# (a listener who knows the topic), and the share of the text's words it
# finds, in order, stands for intelligibility: a proxy for a listener, who
# copes with fast speech better than the recogniser does.
#
#   bench/speech/compare_stretchers.sh [BUILD_DIR]      (default: build)
#
# Needs espeak-ng, pocketsphinx, pocketsphinx-en-us, ffmpeg and python3. Plays
# in real time: about eight minutes.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
for tool in espeak-ng pocketsphinx_continuous ffmpeg python3; do
    command -v "$tool" >/dev/null || { echo "$tool is missing (apt-get install espeak-ng pocketsphinx pocketsphinx-en-us ffmpeg python3)" >&2; exit 1; }
done
model=/usr/share/pocketsphinx/model/en-us
[ -f "$model/cmudict-en-us.dict" ] || { echo "pocketsphinx-en-us is missing" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

cat >text.txt <<'TEXT'
Today we look at how a computer stores numbers in memory. Every number is kept as a pattern of bits, and each bit is either zero or one. A group of eight bits is called a byte, and one byte can hold two hundred and fifty six different values. When we need larger numbers, we join several bytes together. Four bytes give us more than four billion values, which is enough for most counting tasks. Negative numbers need one more idea. We set aside the highest bit to mark the sign, and we use a method called two's complement so that adding and subtracting work the same way for every value. Fractions are stored differently. A floating point number keeps a sign, an exponent and a mantissa, much like scientific notation on a calculator. This lets us write very small and very large values, but it also means that some simple decimal numbers, such as one tenth, cannot be stored exactly. In the next part of the lesson we will write a short program that prints the bits of a number, and we will watch what happens when a value grows past the largest number its type can hold.
Welcome back to the course on cell biology. In this lecture we follow a protein from the moment its gene is read until it reaches its place in the cell. The first step happens in the nucleus, where an enzyme copies one strand of the DNA into a molecule of messenger RNA. This copy is edited before it leaves: pieces that do not code for the protein are cut out, and the ends are protected with a cap and a long tail. The finished message then travels through a pore in the nuclear envelope and meets a ribosome in the cytoplasm. The ribosome reads the message three letters at a time. Each group of three letters names one amino acid, and a transfer RNA brings the matching amino acid to the ribosome, where it is joined to the growing chain. When the ribosome reaches a stop signal, the chain is released and folds into its final shape. Some proteins stay in the cytoplasm, but many carry a short label at their front end that sends them into the endoplasmic reticulum. From there they move on to the Golgi apparatus, which sorts them and packs them into small bubbles for delivery to the cell membrane or to other parts of the cell. Please read chapter seven before our next meeting, and bring your questions about the genetic code.
TEXT

# A bigram model of the lesson's words (absolute discounting, backing off to
# single words), and the share of the text's words a transcript finds in order.
cat >speech.py <<'PY'
import collections, math, re, sys
def words(s):
    return re.findall(r"[a-z']+", s.lower())
if sys.argv[1] == "model":
    vocab = set(l.split()[0] for l in open(sys.argv[3], encoding="latin-1"))
    uni, bi = collections.Counter(), collections.Counter()
    for sentence in re.split(r"[.!?:]", open(sys.argv[2]).read()):
        t = ["<s>"] + [w for w in words(sentence) if w in vocab] + ["</s>"]
        if len(t) > 2:
            uni.update(t)
            bi.update(zip(t, t[1:]))
    total, follow = sum(uni.values()), collections.Counter(a for a, _ in bi)
    out = ["\\data\\", "ngram 1=%d" % len(uni), "ngram 2=%d" % len(bi), "", "\\1-grams:"]
    for w, c in sorted(uni.items()):
        back = 0.5 * follow[w] / c if follow[w] else 1.0
        out.append("%.4f %s %.4f" % (-99 if w == "<s>" else math.log10(c / total), w, math.log10(back)))
    out += ["", "\\2-grams:"] + ["%.4f %s %s" % (math.log10((c - 0.5) / uni[a]), a, b) for (a, b), c in sorted(bi.items())]
    print("\n".join(out + ["", "\\end\\"]))
else:
    ref, hyp = words(open(sys.argv[2]).read()), words(open(sys.argv[3]).read())
    prev = [0] * (len(hyp) + 1)  # longest common subsequence: words found in order
    for r in ref:
        cur = [0]
        for j, h in enumerate(hyp):
            cur.append(prev[j] + 1 if r == h else max(prev[j + 1], cur[j]))
        prev = cur
    print("%3.0f%% (%d of %d words)" % (100.0 * prev[-1] / len(ref), prev[-1], len(ref)))
PY
python3 speech.py model text.txt "$model/cmudict-en-us.dict" >lesson.lm

espeak-ng -v en-us -s 165 -f text.txt -w speech.wav
"$build/bin/zmr" create lesson.zmr --audio speech.wav --title "speech" --quiet >/dev/null

# Seconds of processor time the command took (user + system, children included).
cpu() {
    local start end
    start=$(awk '{print $14 + $15 + $16 + $17}' /proc/$$/stat)
    "$@"
    end=$(awk '{print $14 + $15 + $16 + $17}' /proc/$$/stat)
    echo "$start $end" >cpu.txt
}
cpu_seconds() { awk -v hz="$(getconf CLK_TCK)" '{printf "%.2f", ($2 - $1) / hz}' cpu.txt; }

# The player's sound at a rate: what the audio renderer handed the device.
play() {
    SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$work/$2" "$build/bin/kovel-graph" lesson.zmr --rate "$1" --json \
        >"$2.json" 2>/dev/null
}
transcribe() {
    ffmpeg -v error -y "$@" -ar 16000 -ac 1 heard.wav
    pocketsphinx_continuous -infile heard.wav -lm lesson.lm -logfn /dev/null >heard.txt
    python3 speech.py score text.txt heard.txt
}
pcm=(-f s16le -ar 44100 -ac 2)

echo "speech: $(wc -w <text.txt) words, $(ffprobe -v error -show_entries format=duration -of csv=p=0 speech.wav | cut -d. -f1) s at 165 words a minute"
cpu play 1 player1.raw
printf "%-31s %s   cpu %s s\n" "player at 1x:" "$(transcribe "${pcm[@]}" -i player1.raw)" "$(cpu_seconds)"
cpu ffmpeg -v error -y "${pcm[@]}" -i player1.raw -af anull -f null -
base=$(cpu_seconds)
for rate in 1.5 2; do
    cpu play "$rate" "player$rate.raw"
    printf "%-31s %s   cpu %s s\n" "player at ${rate}x (Rubber Band):" "$(transcribe "${pcm[@]}" -i "player$rate.raw")" \
        "$(cpu_seconds)"
    for filter in "atempo=$rate" "rubberband=tempo=$rate"; do
        cpu ffmpeg -v error -y "${pcm[@]}" -i player1.raw -af "$filter" "${pcm[@]}" stretched.raw
        printf "%-31s %s   cpu %s s (ffmpeg with anull: %s s)\n" "ffmpeg $filter:" \
            "$(transcribe "${pcm[@]}" -i stretched.raw)" "$(cpu_seconds)" "$base"
    done
done
