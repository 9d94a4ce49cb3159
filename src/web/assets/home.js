// The home page: the headline, detail, plan and trend sentences, and the
// one-tap clean-up with its live step lines and summary, and its item-by-item
// preview, whose unticked items a run from it leaves alone.
import {
  getJson, postJson, listen, showProblem, pageReady, formatBytes, previewChecklist,
} from "/dashboard.js";

const $ = (id) => document.getElementById(id);

async function load() {
  try {
    const home = await getJson("/api/home");
    $("headline").textContent = home.recommendation.headline;
    $("detail").textContent = home.recommendation.detail;
    $("plan").textContent = home.plan.summary;
    $("trend").textContent = home.trend.sentence;
    if (home.lastCare.summary && !$("care-steps").children.length) {
      $("summary-title").hidden = false;
      $("care-summary").textContent = home.lastCare.summary;
    }
  } catch (error) {
    showProblem($("load-problem"), error);
  }
}

function markLastStepDone() {
  const last = $("care-steps").lastElementChild;
  if (last) last.classList.add("done");
}

let summaryLines = [];
listen({
  "care-start": () => {
    $("care-steps").replaceChildren();
    $("care-problems").hidden = true;
    $("care-problems").textContent = "";
    $("summary-title").hidden = true;
    $("care-summary").textContent = "";
    summaryLines = [];
    $("care-run").disabled = true;
    $("preview-run").disabled = true;
  },
  "care-step": ({ line }) => {
    markLastStepDone();
    const item = document.createElement("li");
    item.textContent = line;
    $("care-steps").append(item);
  },
  "care-summary": ({ line }) => {
    summaryLines.push(line);
  },
  "care-problem": ({ line }) => {
    $("care-problems").hidden = false;
    $("care-problems").textContent += ($("care-problems").textContent ? "\n" : "") + line;
  },
  "care-done": () => {
    markLastStepDone();
    $("summary-title").hidden = summaryLines.length === 0;
    $("care-summary").textContent = summaryLines.join("\n");
    $("care-run").disabled = false;
    $("preview").hidden = true;
    load();
  },
});

$("care-run").addEventListener("click", async () => {
  $("care-run").disabled = true;
  try {
    await postJson("/api/care");
  } catch (error) {
    showProblem($("care-problems"), error);
    $("care-run").disabled = false;
  }
});

let tickedItems = () => [];

$("preview-show").addEventListener("click", async () => {
  $("preview-show").disabled = true;
  try {
    tickedItems = previewChecklist({
      list: $("preview-items"),
      total: $("preview-total"),
      run: $("preview-run"),
      items: (await getJson("/api/care-preview")).items,
      describe: (item) => `${item.path} (${formatBytes(item.bytes)}, ${item.ageDays} days old, ` +
        `${item.category})`,
    });
    $("preview").hidden = false;
  } catch (error) {
    showProblem($("care-problems"), error);
  }
  $("preview-show").disabled = false;
});

$("preview-run").addEventListener("click", async () => {
  $("preview-run").disabled = true;
  try {
    await postJson("/api/care", { items: tickedItems() });
  } catch (error) {
    showProblem($("care-problems"), error);
    $("preview-run").disabled = false;
  }
});

pageReady();
load();
