#!/usr/bin/env python3
"""Quality table and pictures of one speech run of corvane-client.

Usage: audio_report.py DIR [TITLE]

DIR holds the client's --json result (result.json), the sources
(speaker-<id>.wav) and what each member heard (user-<id>.wav, from
--audio-out). Prints one row per listener and speaker, and draws for each
listener DIR/user-<id>.png: the spectrogram of what it heard above the
waveforms of the originals, on one time axis from the start of the traffic.
"""
import json
import os
import sys
import wave

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402


def read_wav(path):
    with wave.open(path, "rb") as w:
        rate = w.getframerate()
        data = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(np.float32)
    return rate, data / 32768.0


def mos_fields(user):
    """Whatever call-quality estimate the client adds to a user (MOS, R)."""
    found = {}
    for key, value in user.items():
        if isinstance(value, (int, float)) and ("mos" in key.lower() or key.lower() in ("r", "r_factor")):
            found[key] = value
    return found


def main():
    folder = sys.argv[1]
    title = sys.argv[2] if len(sys.argv) > 2 else os.path.basename(folder)
    with open(os.path.join(folder, "result.json")) as f:
        result = json.load(f)
    users = result["users"]
    print(f"\n{title}: speech heard, per listener and speaker "
          "(correlation and coverage against the source; see README)")
    print(f"{'listener':>8} {'speaker':>8} {'played':>7} {'late':>5} {'concealed':>9} "
          f"{'silenced':>8} {'correlation':>11} {'coverage':>8}   {'loss %':>6} {'p99 ms':>7}  extra")
    for user in users:
        if user["role"] != "listener":
            continue
        extra = " ".join(f"{k} {v:.2f}" for k, v in mos_fields(user).items())
        for speaker, s in sorted(user.get("speech", {}).items()):
            print(f"{user['user']:>8} {speaker:>8} {s['played']:>7} {s['late']:>5} "
                  f"{s['concealed']:>9} {s['silenced']:>8} {s['correlation']:>11.3f} "
                  f"{s['coverage']:>8.3f}   {user['loss_percent']:>6.2f} "
                  f"{user['latency_ms']['p99']:>7.2f}  {extra}")

    total = result["total"]
    if result.get("mixer"):
        print(f"mixer: frames of the two loudest talkers of each 20 ms that were due "
              f"{total['chosen_expected']}, arrived {total['chosen_received']}; frames it had to "
              f"drop that arrived {total['unchosen_received']} (levels from each frame's PCM)")
    problems = [f"{u['user']}: {u['problem']}" for u in users if u.get("problem")]
    print("client: " + ("every expectation met" if result["ok"] else "; ".join(problems)))

    sources = {}
    for name in sorted(os.listdir(folder)):
        if name.startswith("speaker-") and name.endswith(".wav"):
            sources[name[len("speaker-"):-len(".wav")]] = read_wav(os.path.join(folder, name))
    for user in users:
        if user["role"] != "listener":
            continue
        heard_path = os.path.join(folder, f"user-{user['user']}.wav")
        if not os.path.exists(heard_path):
            continue
        rate, heard = read_wav(heard_path)
        rows = 1 + len(sources)
        fig, axes = plt.subplots(rows, 1, figsize=(12, 2.2 + 1.3 * len(sources)), sharex=True,
                                 gridspec_kw={"height_ratios": [2.5] + [1] * len(sources)})
        top = axes[0]
        if len(heard) > 1024:
            # A whisper of noise under digital silence keeps the decibels finite.
            floor = np.random.default_rng(1).normal(0, 1e-6, len(heard)).astype(np.float32)
            top.specgram(heard + floor, NFFT=1024, Fs=rate, noverlap=768, cmap="magma",
                         vmin=-120)
        top.set_ylim(0, 8000)
        top.set_ylabel("Hz")
        top.set_title(f"{title}: what listener {user['user']} heard (spectrogram), "
                      "above the originals (waveforms)")
        speech = user.get("speech", {})
        for axis, (speaker, (src_rate, samples)) in zip(axes[1:], sources.items()):
            t = np.arange(len(samples)) / src_rate
            axis.plot(t, samples, linewidth=0.4, color="tab:blue")
            axis.set_ylim(-1, 1)
            label = f"speaker {speaker}"
            if speaker in speech:
                s = speech[speaker]
                label += f": correlation {s['correlation']:.2f}, coverage {s['coverage']:.2f}"
            axis.set_ylabel(speaker, rotation=0, labelpad=25)
            axis.text(0.005, 0.85, label, transform=axis.transAxes, fontsize=8)
        axes[-1].set_xlabel("seconds from the start of the traffic")
        fig.tight_layout()
        fig.savefig(os.path.join(folder, f"user-{user['user']}.png"), dpi=80)
        plt.close(fig)


if __name__ == "__main__":
    main()
