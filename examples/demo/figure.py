"""The figure: per environment, the optimal and the learned values and greedy
actions on the environment's grid, the spread of the two ensembles, and
the greedy policies' results in the environment."""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.colors import ListedColormap  # noqa: E402

from .environments import Task, optimal_actions  # noqa: E402
from .learners import LEARNERS  # noqa: E402

if TYPE_CHECKING:
    from .experiment import Outcome

KIND_COLORS = {"learns optimal Q": "tab:blue", "learns another quantity": "tab:orange", "baseline": "tab:gray"}
# Cells of an all-zero spread: a plain light colour instead of the colour
# map's end, with the words written over it.
ALL_ZERO = ListedColormap(["#f3efe0"])


def kind_of(name: str) -> str:
    for learner in LEARNERS:
        if learner.name == name:
            return "learns optimal Q" if learner.learns_optimal_q else "learns another quantity"
    return "baseline"


def format_return(value: float) -> str:
    """Mean returns from 0.0125 to -20000: three significant digits for small
    ones, whole numbers with thousands separators for large ones."""
    if abs(value) >= 100:
        return f"{value:,.0f}"
    return f"{value:.3g}"


def grid_of(task: Task, env, per_state: np.ndarray) -> np.ndarray:
    """Lays a per-state array out on the environment's grid."""
    if task.key == "taxi":
        # One slice of the 500 states: passenger waiting at Y, going to G.
        return per_state.reshape(5, 5, 5, 4)[:, :, 2, 1]
    rows, cols = (4, 12) if task.key == "cliffwalking" else env.unwrapped.desc.shape
    return per_state.reshape(rows, cols)


def cell_labels(task: Task, env) -> dict[tuple[int, int], str]:
    if task.key == "frozenlake":
        desc = env.unwrapped.desc
        return {(r, c): desc[r, c].decode() for r in range(desc.shape[0]) for c in range(desc.shape[1]) if desc[r, c] != b"F"}
    if task.key == "cliffwalking":
        labels = {(3, c): "cliff" for c in range(1, 11)}
        labels.update({(3, 0): "S", (3, 11): "G"})
        return labels
    return {(0, 0): "R", (0, 4): "G", (4, 0): "Y", (4, 3): "B"}


def draw_grid(ax, outcome: Outcome, values, actions, title, cmap="viridis", vmin=None, vmax=None, wrong=None,
              label_color="white"):
    task, env = outcome.task, outcome.env
    grid = grid_of(task, env, values)
    decision = np.zeros(values.shape, dtype=bool)
    decision[outcome.model.decision_states] = True
    mask = grid_of(task, env, decision)
    image = ax.imshow(np.ma.masked_where(~mask, grid), cmap=cmap, vmin=vmin, vmax=vmax)
    ax.set_facecolor("#d9d9d9")
    for (r, c), text in cell_labels(task, env).items():
        if not mask[r, c]:
            ax.text(c, r, text, ha="center", va="center", fontsize=8, color="#444444")
        else:
            ax.text(c - 0.42, r - 0.3, text, ha="left", va="center", fontsize=7, color=label_color)
    if actions is not None:
        action_grid = grid_of(task, env, actions)
        wrong_grid = grid_of(task, env, wrong) if wrong is not None else None
        for r in range(grid.shape[0]):
            for c in range(grid.shape[1]):
                if not mask[r, c]:
                    continue
                color = "red" if wrong_grid is not None and wrong_grid[r, c] else "white"
                glyph = task.glyphs[int(action_grid[r, c])]
                if isinstance(glyph, str):
                    ax.text(c, r, glyph, ha="center", va="center", fontsize=9, color=color, weight="bold")
                else:
                    dx, dy = glyph
                    ax.annotate(
                        "", xy=(c + 0.3 * dx, r + 0.3 * dy), xytext=(c - 0.3 * dx, r - 0.3 * dy),
                        arrowprops={"arrowstyle": "->", "color": color, "lw": 1.5},
                    )
    ax.set_xticks([])
    ax.set_yticks([])
    ax.set_title(title, fontsize=9)
    return image


def draw_spread(subfig, ax, outcome: Outcome, name: str, across: str) -> None:
    s = outcome.spreads[name]
    top = float(s.per_state[outcome.model.decision_states].max())
    title = f"{name}\nsd of max Q {across}"
    if top > 0:
        image = draw_grid(ax, outcome, s.per_state, None, title, cmap="magma", vmin=0.0, vmax=top)
        subfig.colorbar(image, ax=ax, shrink=0.8)
        return
    # Every member holds the same values to the last bit (a deterministic
    # environment learned to convergence): a colour scale would show one
    # colour meaning nothing, so the panel says it in words.
    members = len(outcome.trained[name].stack)
    words = f"all zero: the {members} members\nagree to the last bit" if members > 1 else "one member: no spread"
    draw_grid(ax, outcome, s.per_state, None, title, cmap=ALL_ZERO, label_color="#444444")
    ax.text(0.5, 0.55, words, transform=ax.transAxes, ha="center", va="center", fontsize=10, color="#333333")


def draw_bars(bars, outcome: Outcome) -> None:
    names = [learner.name for learner in LEARNERS] + ["random behaviour"]
    scores = outcome.scores
    y = np.arange(len(names))
    colors = [KIND_COLORS[kind_of(n)] for n in names]
    success = [scores[n].success for n in names]
    bars.barh(y, success, color=colors)
    # A bar of zero length has no area: a mark at its end keeps every result
    # visible, zeros included.
    bars.scatter(success, y, marker="D", s=22, c=colors, edgecolors="black", linewidths=0.5, zorder=3,
                 clip_on=False)
    optimum = scores["optimal"].success
    bars.axvline(optimum, color="black", linestyle="--")
    bars.axvspan(max(optimum - 0.1, 0.0), optimum, color="tab:green", alpha=0.15)
    for k, n in enumerate(names):
        bars.text(0.03, k, f"success {scores[n].success:.3f}, return {format_return(scores[n].mean_return)}",
                  va="center", fontsize=7, transform=bars.get_yaxis_transform(),
                  bbox={"facecolor": "white", "alpha": 0.75, "edgecolor": "none", "pad": 1.0})
    bars.set_xlim(0, 1.05)
    bars.set_yticks(y, names, fontsize=8)
    bars.invert_yaxis()
    bars.set_xlabel("success rate (mean return per episode written on each bar)", fontsize=8)
    handles = [plt.Rectangle((0, 0), 1, 1, color=c) for c in KIND_COLORS.values()]
    handles += [plt.Line2D([], [], color="black", linestyle="--"), plt.Rectangle((0, 0), 1, 1, color="tab:green", alpha=0.15)]
    bars.legend(handles, list(KIND_COLORS) + ["optimal policy", "within 0.1 of optimal"], fontsize=7,
                loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=3)
    bars.set_title("greedy policies in the environment", fontsize=9)


def draw_outcome(subfig, outcome: Outcome) -> None:
    task, env, model, q_star = outcome.task, outcome.env, outcome.model, outcome.q_star
    grid_shape = grid_of(task, env, np.zeros(q_star.shape[0])).shape
    wide = grid_shape[1] / grid_shape[0] > 2
    axes = subfig.subplots(2, 3, gridspec_kw={"width_ratios": [1.6, 1.6, 1.2] if wide else [1, 1, 1.1]})
    v_star = q_star.max(axis=1)
    learned = outcome.trained["qlearn_forward"].q
    v_lo, v_hi = float(v_star[model.decision_states].min()), float(v_star[model.decision_states].max())
    if v_lo == v_hi:  # a discount of 0 where no decision state pays at once
        v_lo, v_hi = v_lo - 0.5, v_hi + 0.5
    best = optimal_actions(q_star)
    greedy = learned.argmax(axis=1)
    wrong = ~best[np.arange(len(greedy)), greedy]
    slice_note = " (passenger at Y, to G)" if task.key == "taxi" else ""
    image = draw_grid(axes[0, 0], outcome, v_star, q_star.argmax(axis=1),
                      f"optimal (value iteration): V*, policy{slice_note}", vmin=v_lo, vmax=v_hi)
    subfig.colorbar(image, ax=axes[0, 0], shrink=0.8)
    image = draw_grid(axes[0, 1], outcome, learned.max(axis=1), greedy,
                      "qlearn_forward: max Q, greedy action\n(red: not an optimal action)", vmin=v_lo, vmax=v_hi,
                      wrong=wrong)
    subfig.colorbar(image, ax=axes[0, 1], shrink=0.8)
    draw_spread(subfig, axes[1, 0], outcome, "qlearn_forward_parallel", "across workers")
    draw_spread(subfig, axes[1, 1], outcome, "td_learn_backward_parallel", "across bootstrap samples")
    gs = axes[0, 2].get_gridspec()
    axes[0, 2].remove()
    axes[1, 2].remove()
    draw_bars(subfig.add_subplot(gs[:, 2]), outcome)
    subfig.suptitle(task.title, fontsize=11, weight="bold")


def save_figure(path: Path, outcomes: list[Outcome]) -> None:
    heights = []
    for outcome in outcomes:
        rows, cols = grid_of(outcome.task, outcome.env, np.zeros(outcome.env.observation_space.n)).shape
        heights.append(5.0 if cols / rows > 2 else 6.2)
    fig = plt.figure(figsize=(15, sum(heights)), layout="constrained")
    subfigs = fig.subfigures(len(outcomes), 1, height_ratios=heights, squeeze=False)[:, 0]
    for subfig, outcome in zip(subfigs, outcomes):
        draw_outcome(subfig, outcome)
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
