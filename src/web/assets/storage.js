// The storage page: free space on the startup disk and the drive, what a
// clean-up could clear, the folders' sizes filling in as each is measured,
// what grew since a scan a week before the latest, and the free-space
// history chart the server draws from the usage history.
import { getJson, getText, postJson, listen, showProblem, formatBytes, pageReady } from "/dashboard.js";

const $ = (id) => document.getElementById(id);

function gb(value) {
  return value === null || value === undefined ? "not known" : `${value} GB free`;
}

async function loadSpace() {
  try {
    const s = await getJson("/api/storage");
    $("internal-free").textContent = `${gb(s.internal_free_gb)} of ${s.internal_total_gb} GB`;
    if (!s.nvme_path) {
      $("drive-free").textContent = "No drive is chosen yet.";
    } else if (!s.mounted) {
      $("drive-free").textContent = `Not connected (expected at ${s.nvme_path}).`;
    } else if (s.nvme_free_gb === null || s.nvme_free_gb === undefined) {
      $("drive-free").textContent = `Connected at ${s.nvme_path}; its free space isn't measured yet.`;
    } else {
      $("drive-free").textContent = `${gb(s.nvme_free_gb)} of ${s.nvme_total_gb} GB, at ${s.nvme_path}`;
    }
  } catch (error) {
    showProblem($("space-problem"), error);
  }
}

async function loadHistory() {
  try {
    const text = await getText("/api/history.svg");
    const svg = new DOMParser().parseFromString(text, "image/svg+xml").documentElement;
    svg.setAttribute("role", "img");
    const title = svg.querySelector("title");
    $("history-caption").textContent = title ? title.textContent : "";
    $("history-chart").prepend(document.importNode(svg, true));
  } catch (error) {
    $("history-chart").hidden = true;
    $("history-problem").hidden = false;
    $("history-problem").textContent = error.message;
  }
}

async function loadPlan() {
  try {
    const plan = await getJson("/api/care-plan");
    $("clear-summary").textContent = plan.summary;
    const sized = plan.steps.filter((s) => s.freeableBytes !== null);
    const largest = Math.max(1, ...sized.map((s) => s.freeableBytes));
    $("clear-steps").replaceChildren(...plan.steps.map((step) => {
      const item = document.createElement("li");
      const words = document.createElement("span");
      words.textContent = step.freeableBytes === null
        ? `${step.name}: sized as it runs`
        : `${step.name}: about ${formatBytes(step.freeableBytes)} in ${step.items} items`;
      item.append(words);
      if (step.freeableBytes !== null) {
        // The bar repeats the words' amount; it carries nothing of its own.
        const bar = document.createElement("span");
        bar.className = "bar";
        bar.setAttribute("aria-hidden", "true");
        bar.dataset.share = String(Math.round((100 * step.freeableBytes) / largest));
        item.append(bar);
      }
      return item;
    }));
    for (const bar of $("clear-steps").querySelectorAll(".bar")) {
      bar.style.width = `${bar.dataset.share}%`;
    }
  } catch (error) {
    showProblem($("clear-problem"), error);
  }
}

// Bars in the chosen order (largest first unless told), each drawn against the largest seen so
// far; by age, the folder changed longest ago first and one whose change is unknown last.
let measured = [];
const scanOrders = {
  size: (a, b) => b.size_bytes - a.size_bytes,
  age: (a, b) => (a.changedEpoch ?? Infinity) - (b.changedEpoch ?? Infinity),
  name: (a, b) => a.label.localeCompare(b.label),
};
function changedWords(row) {
  if ($("scan-order").value !== "age") return "";
  return row.changedEpoch === undefined ? ", changed at an unknown time"
    : `, changed ${new Date(row.changedEpoch * 1000).toLocaleDateString()}`;
}
function showScan() {
  measured.sort(scanOrders[$("scan-order").value]);
  const largest = Math.max(1, ...measured.map((row) => row.size_bytes));
  $("scan-bars").replaceChildren(...measured.map((row) => {
    const item = document.createElement("li");
    const words = document.createElement("span");
    words.textContent = `${row.label}: ${formatBytes(row.size_bytes)}${changedWords(row)}`
      + `${row.actionable ? "" : " (kept as it is)"}`;
    const bar = document.createElement("span");
    bar.className = "bar";
    bar.setAttribute("aria-hidden", "true");
    item.append(words, bar);
    bar.style.width = `${Math.round((100 * row.size_bytes) / largest)}%`;
    return item;
  }));
}

// The folders that grew most, each with its sizes then and now; one line for what shrank.
const kShownGrowth = 10;
async function loadGrowth() {
  try {
    const g = await getJson("/api/storage/growth");
    $("grew-shrank").hidden = true;
    if (g.note) {
      $("grew-status").textContent = g.note;
      $("grew-list").replaceChildren();
      return;
    }
    const since = new Date(g.thenEpoch * 1000).toLocaleString();
    $("grew-status").textContent = g.grew.length
      ? `Since the scan of ${since}:`
      : `Nothing grew since the scan of ${since}.`;
    const largest = Math.max(1, ...g.grew.map((f) => f.growthBytes));
    $("grew-list").replaceChildren(...g.grew.slice(0, kShownGrowth).map((f) => {
      const item = document.createElement("li");
      const words = document.createElement("span");
      words.textContent = `${f.label}: +${formatBytes(f.growthBytes)} `
        + `(${formatBytes(f.thenBytes)} then, ${formatBytes(f.nowBytes)} now)`;
      const bar = document.createElement("span");
      bar.className = "bar";
      bar.setAttribute("aria-hidden", "true");
      item.append(words, bar);
      bar.style.width = `${Math.round((100 * f.growthBytes) / largest)}%`;
      return item;
    }));
    if (g.shrank.length) {
      const freed = g.shrank.reduce((sum, f) => sum - f.growthBytes, 0);
      $("grew-shrank").hidden = false;
      $("grew-shrank").textContent = `Shrank: ${g.shrank.length} `
        + `${g.shrank.length === 1 ? "folder" : "folders"}, ${formatBytes(freed)} in all.`;
    }
  } catch (error) {
    $("grew-status").textContent = error.message;
  }
}

$("scan-order").addEventListener("change", showScan);

$("scan-run").addEventListener("click", async () => {
  $("scan-run").disabled = true;
  try {
    await postJson("/api/storage/scan");
  } catch (error) {
    $("scan-status").textContent = error.message;
    $("scan-run").disabled = false;
  }
});

listen({
  "scan-start": () => {
    measured = [];
    showScan();
    $("scan-run").disabled = true;
    $("scan-status").textContent = "Measuring…";
  },
  "scan-probe": (row) => {
    measured.push(row);
    showScan();
    $("scan-status").textContent = `Measuring… ${measured.length} measured so far.`;
  },
  "scan-done": (done) => {
    $("scan-run").disabled = false;
    $("scan-status").textContent = done.problem
      ? done.problem
      : `Measured ${done.probed} folders, ${formatBytes(done.total_bytes)} in all.`;
    loadGrowth();
  },
});

pageReady();
loadSpace();
loadPlan();
loadGrowth();
loadHistory();
