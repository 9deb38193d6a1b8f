// The status page: one document, its script polling the JSON endpoints.
#pragma once

namespace plexer::gateway {

inline constexpr const char* kStatusPage = R"PAGE(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>plexer gateway</title>
<style>
body{font:14px system-ui,sans-serif;margin:16px;background:#f6f7f9;color:#222}
h1{font-size:20px;margin:0 0 4px}h2{font-size:16px;margin:18px 0 6px}
table{border-collapse:collapse;background:#fff}td,th{border:1px solid #ccd;padding:3px 8px;text-align:left}
th{background:#e8ebf0}td.num{text-align:right;font-variant-numeric:tabular-nums}
#line{margin:0 0 6px}#line.up{color:#176b2c}#line.lost{color:#b00020;font-weight:600}
tr.ok td.state,td.q-good{color:#176b2c}
tr.failed td.state,tr.demoted td.state,td.q-failed,td.q-stale,td.q-unit-demoted,td.q-line-lost{color:#b00020;font-weight:600}
td.q-not-configured,td.q-out-of-range,td.q-beyond-scale,td.q-suspect{color:#a65e00;font-weight:600}
td.q-not-read-yet,tr.held td.counts,tr.held td.eu{color:#888}
.log{background:#111;color:#ddd;font:12px monospace;padding:6px;height:150px;overflow:auto;white-space:pre}
.bad{color:#ff8a80}
.l32{color:#ff8a80}#meta{color:#666}canvas{background:#fff;border:1px solid #ccd}
</style></head><body>
<h1>plexer gateway on <span id="about">@LINE@ (version @VERSION@)</span></h1><div id="meta">read-only view, refreshed every 0.5 s</div>
<h2>Units</h2>
<div id="line"></div>
<table id="units"><thead><tr><th>unit</th><th>state</th><th>transactions</th><th>failures</th><th>retries</th><th>demoted</th><th>last good read</th></tr></thead><tbody></tbody></table>
<h2>Points</h2>
<table id="points"><thead><tr><th>trend</th><th>GAS</th><th>name</th><th>counts</th><th>EU</th><th>quality</th><th>age</th></tr></thead><tbody></tbody></table>
<h2>Trend over <select id="span" onchange="load()"><option value="300000">5 minutes</option><option value="3600000" selected>the last hour</option><option value="21600000">6 hours</option><option value="86400000">a day</option><option value="604800000">a week</option><option value="2592000000">30 days</option><option value="0">all kept</option></select> <span id="trendNote"></span></h2>
<canvas id="trend" width="720" height="200"></canvas>
<h2>Traffic on the line</h2>
<div id="wire" class="log"></div>
<h2>Driver lines</h2>
<div id="traffic" class="log"></div>
<script>
const trend={},past={},chosen=new Set(),colours=['#1f77b4','#d62728','#2ca02c','#9467bd','#ff7f0e','#8c564b'];
const text=s=>String(s).replace(/[&<>"]/g,c=>({'&':'&amp;','<':'&lt;','>':'&gt;','"':'&quot;'}[c]));
const age=ms=>ms===null?'never':(ms/1000).toFixed(1)+' s';
function hex(u){return '0x'+u.toString(16).toUpperCase().padStart(2,'0')}
function units(list){
  document.querySelector('#units tbody').innerHTML=list.map(u=>
    `<tr class="${u.state.replace(' ','-')}" data-unit="${u.unit}"><td>${u.unit} (${hex(u.unit)})</td><td class="state">${text(u.state)}</td>`+
    `<td class="num">${u.transactions}</td><td class="num">${u.failures}</td><td class="num">${u.retries}</td>`+
    `<td>${u.demoted?'yes':'no'}</td><td class="num">${age(u.lastGoodAgeMs)}</td></tr>`).join('');
}
function showLine(l){
  const e=document.getElementById('line');
  e.className=l.up?'up':'lost';
  e.textContent=(l.up?'line up':'line lost '+age(l.lostForMs)+': '+l.lastLoss)+`; lost ${l.losses} times, back ${l.recoveries} times`;
}
function points(list){
  const now=Date.now();
  if(chosen.size===0)list.filter(p=>p.family!=='digital in'&&p.family!=='digital out').slice(0,3).forEach(p=>chosen.add(p.gas));
  document.querySelector('#points tbody').innerHTML=list.map(p=>{
    if(p.good&&p.eu!==null){(trend[p.gas]=trend[p.gas]||[]).push([now,p.eu]);}
    const eu=p.eu===null?'':(Math.round(p.eu*1000)/1000)+' '+text(p.euName);
    // A value not served is shown as it was last read, greyed, beside its reason.
    return `<tr data-gas="${p.gas}" class="${p.good?'':'held'}"><td><input type="checkbox" ${chosen.has(p.gas)?'checked':''} onchange="pick('${p.gas}',this.checked)"></td>`+
      `<td>${p.gas}</td><td>${text(p.name)}</td><td class="num counts">${p.counts===null?'':p.counts}</td>`+
      `<td class="num eu">${eu}</td><td class="quality q-${p.quality.replace(/ /g,'-')}">${text(p.quality)}</td><td class="num">${age(p.ageMs)}</td></tr>`}).join('');
  // Live samples of a chosen point over the span (an hour at most: older ones are in the store), of others 5 minutes.
  for(const g in trend)trend[g]=trend[g].filter(s=>s[0]>now-(chosen.has(g)?Math.min(span||3600000,3600000):300000));
  draw(now);
}
function pick(gas,on){on?chosen.add(gas):chosen.delete(gas);load()}
let span=3600000,loaded=false;
// The store's changes of the chosen points over the span, drawn beneath the live samples; without a store, live alone.
async function load(){
  span=+document.getElementById('span').value;
  const note=document.getElementById('trendNote');
  if(chosen.size){
    try{
      // Past the hour, the last row of each point in every 720th of the span: as many as the canvas is wide.
      const every=span>3600000?Math.floor(span/720):span?0:3600000;
      const r=await fetch(`/api/history?points=${[...chosen].join(',')}&from=${span?'-'+span/1000+'s':'0'}&every=${every}`);
      if(r.status===404)note.textContent='(live only: the gateway keeps no history)';
      else if(!r.ok)note.textContent='(history: '+(await r.text()).trim()+')';
      else{
        const h=await r.json();
        for(const g in past)delete past[g];
        h.rows.forEach(row=>{if(typeof row.eu==='number')(past[row.source]=past[row.source]||[]).push([row.atMs,row.eu])});
        note.textContent=h.truncated?`(the first ${h.rowsMost} stored rows of the span)`:'';
      }
    }catch(e){note.textContent='(history not reachable)'}
  }
  draw(Date.now());
}
// Each series on its own scale, so that counts and bar share one plot; the legend gives its range.
function draw(now){
  const c=document.getElementById('trend'),x=c.getContext('2d');x.clearRect(0,0,c.width,c.height);
  const series=g=>[...(past[g]||[]),...(trend[g]||[])].filter(p=>!span||p[0]>now-span);
  const all=[...chosen].map(series).flat(),width=span||Math.max(1,...all.map(p=>now-p[0]));
  [...chosen].filter(g=>series(g).length).forEach((g,i)=>{
    const s=series(g),vals=s.map(p=>p[1]);let lo=Math.min(...vals),hi=Math.max(...vals);if(hi===lo){hi+=1;lo-=1}
    x.strokeStyle=x.fillStyle=colours[i%colours.length];x.beginPath();
    s.forEach((p,j)=>{const px=c.width*(1-(now-p[0])/width),py=c.height-10-(c.height-20)*(p[1]-lo)/(hi-lo);j?x.lineTo(px,py):x.moveTo(px,py)});
    x.stroke();x.fillText(`${g} ${+lo.toFixed(3)} .. ${+hi.toFixed(3)}`,6,14+12*i)});
}
function traffic(list){
  const box=document.getElementById('traffic');
  box.innerHTML=list.map(l=>`<span class="l${l.level}">${text(l.time)} [${l.level}] ${text(l.text)}${l.repeats?' (and '+l.repeats+' more)':''}</span>`).join('\n');
  box.scrollTop=box.scrollHeight;
}
function wire(list){
  const box=document.getElementById('wire');
  if(!list.length){box.textContent='no frames: the gateway shows them when it runs with --trace FILE';return}
  box.innerHTML=list.map(l=>`<span class="${/wrong|no reply|cut off|error reply/.test(l)?'bad':''}">${text(l)}</span>`).join('\n');
  box.scrollTop=box.scrollHeight;
}
async function refresh(){
  try{
    const [u,p,t,w]=await Promise.all(['/api/units','/api/points','/api/lines','/api/wire'].map(e=>fetch(e).then(r=>r.json())));
    units(u);points(p);traffic(t);wire(w);
    if(!loaded){loaded=true;load()}
    fetch('/api/line').then(r=>r.json()).then(showLine).catch(()=>{});document.getElementById('meta').textContent='read-only view, updated '+new Date().toLocaleTimeString();
  }catch(e){document.getElementById('meta').textContent='gateway not reachable: '+e}
}
refresh();setInterval(refresh,500);
</script></body></html>
)PAGE";

}  // namespace plexer::gateway
