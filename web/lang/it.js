// SPDX-License-Identifier: MIT
// Italiano. Keys and {placeholders} as in en.js.

export default {
  title: 'Assistente esposizione',
  intro: 'Indicate dove si trova la telecamera e a che velocità passano i veicoli. La telecamera ne ricava il tempo ' +
    'di otturazione max.: il tempo di otturazione più lungo che li mantiene nitidi.',
  language: 'Lingua',
  result: 'Risultato',
  scene: 'Scena',
  speedUnit: 'Unità di velocità',
  roadOffsetSlider: 'Cursore della distanza laterale',
  carDistanceSlider: 'Cursore della distanza dal punto di ripresa',
  cameraHeightSlider: 'Cursore dell\'altezza della telecamera',
  carSpeedSlider: 'Cursore della velocità dei veicoli',
  apply: 'Applica alla telecamera',
  revert: 'Ripristina',
  retry: 'Riprova',
  applyMine: 'Applica comunque i miei valori',
  takeStored: 'Usa la scena memorizzata',
  cameraSettings: 'Impostazioni della telecamera',
  maxShutter: 'Tempo di otturazione max.',
  maxGain: 'Guadagno max.',
  wdr: 'Ampia gamma dinamica (WDR)',
  irCut: 'Filtro IR-cut',
  iris: 'Diaframma',
  sceneDiagram: 'Schema della scena',
  plotTitle: 'Tempo di otturazione max. in base alla velocità dei veicoli',
  record: 'Verbale di messa in servizio',

  unitM: 'm',
  unitMs: 'm/s',
  unitKmh: 'km/h',
  unitMph: 'mph',
  unitUs: 'µs',
  unitMm: 'mm',
  quantity: '{value}\u00a0{unit}',

  roadOffsetLabel: 'Distanza laterale ({unit})',
  carDistanceLabel: 'Distanza dal punto di ripresa ({unit})',
  cameraHeightLabel: 'Altezza della telecamera ({unit})',
  carSpeedLabel: 'Velocità dei veicoli ({unit})',
  roadOffsetHint: 'Di lato, dalla telecamera alla traiettoria dei veicoli, negativa per l\'altro lato: entrambi i lati ' +
    'danno lo stesso tempo di otturazione max. ({range}).',
  carDistanceHint: 'Lungo la strada, dalla telecamera al punto in cui i veicoli vengono fotografati ({range}).',
  cameraHeightHint: 'Dal tetto dei veicoli fino alla telecamera, non dal manto stradale ({range}).',
  carSpeedHint: '({range})',
  range: 'da {min} a {max}\u00a0{unit}',
  mustBeFrom: 'Valori ammessi: {range}.',
  enterNumber: 'Inserite un numero.',
  notNumber: 'Inserite un numero come 12,5 o 12.5, senza separatori delle migliaia.',
  loadingField: 'Caricamento…',

  shutter: '{time}, circa 1/{fraction}\u00a0s',
  on: 'Attivo',
  off: 'Disattivato',
  automatic: 'Automatico',
  irisFixed: 'Fisso in posizione {position}',
  sight: 'la linea di vista incontra la strada a {angle}°',
  crossSlow: 'i veicoli la attraversano a meno di {speed}, conteggiati come {speed}',
  cross: 'i veicoli la attraversano a {speed}',
  longestSets: 'Lo determina il tempo di otturazione più lungo della telecamera, {limit}: {sight}, e {cross}.',
  shortestSets: 'Lo determina il tempo di otturazione più breve della telecamera, {limit}: {sight}, {cross}, e anche ' +
    'in {limit} si spostano di {moved}.',
  blurSets: 'Lo determina il mosso: {sight}, {cross}, e in {time} si spostano di {moved}.',
  correctToSee: 'Correggete i valori segnalati per vederne le impostazioni.',
  earlierSettings: 'Queste impostazioni si riferiscono a valori precedenti.',
  workingOut: 'Calcolo delle impostazioni…',
  curveFills: 'La curva si completa non appena i valori smettono di cambiare.',

  summaryShutter: 'Tempo di otturazione max. {shutter}',
  ofPreview: 'anteprima',
  ofStored: 'scena memorizzata',
  ofEarlier: 'valori precedenti',
  ofUnavailable: 'non disponibile',
  forEarlier: 'per valori precedenti',
  announced: 'Tempo di otturazione max. {shutter}, {of}.',

  sceneRoadOffset: 'distanza laterale {value}',
  sceneCarDistance: 'distanza dal punto di ripresa {value}',
  sceneCameraHeight: 'altezza della telecamera {value}',
  sceneCarSpeed: 'velocità dei veicoli {value}',

  loading: 'Lettura della scena memorizzata…',
  showing: 'È visualizzata la scena memorizzata.',
  previewing: 'Anteprima di valori non ancora applicati.',
  applying: 'Applicazione alla telecamera…',
  applied: 'Applicato alle {time}: {scene}.',
  busy: 'La telecamera è occupata con altre richieste. Nuovo tentativo tra {seconds}\u00a0s…',
  stayedBusy: 'La telecamera è rimasta occupata con altre richieste. Riprovate tra un momento.',
  keepsTrying: 'La pagina continua a riprovare.',
  correctFirst: 'Correggete prima i valori segnalati. Non è stato inviato nulla.',
  pageFailed: 'Errore della pagina: {reason}',
  staleSettings: 'Le impostazioni mostrate si riferiscono a valori precedenti.',
  unreadable: 'Impossibile leggere la risposta della telecamera.',
  unreadableStatus: 'Impossibile leggere la risposta della telecamera (HTTP {status}).',

  storedElsewhere: 'Un altro dispositivo ha memorizzato una nuova scena, letta alle {time}: {scene}. La pagina la mostra.',
  storedElsewhereKept: 'Un altro dispositivo ha memorizzato una scena diversa, letta alle {time}: {scene}. ' +
    'I vostri valori non sono applicati.',
  held: 'Non applicato: nel frattempo un altro dispositivo ha memorizzato una scena diversa, letta alle {time}: ' +
    '{scene}. Applicate comunque i vostri valori, oppure usate la scena memorizzata.',

  code1001: 'La telecamera non supporta la versione di protocollo di questa pagina. Ricaricate la pagina; se non ' +
    'basta, la pagina e il software della telecamera non corrispondono.',
  code1002: 'La telecamera non riconosce questa richiesta. La pagina e il software della telecamera non corrispondono.',
  code1003: 'La telecamera ha rifiutato i valori: uno manca o è fuori dal suo intervallo.',
  code1004: 'La telecamera non è riuscita a leggere la richiesta inviata dalla pagina.',
  codeUnknown: 'La telecamera ha risposto con un errore che questa pagina non conosce (codice {code}).',
  applyUnknown: 'L\'applicazione non è riuscita, e non è stato possibile rileggere la scena memorizzata per sapere se ' +
    'è stata memorizzata.',
  getFailed: 'La telecamera non è riuscita a leggere la scena memorizzata. Il registro del servizio di esposizione ' +
    'ne indica il motivo.',
  previewFailed: 'La telecamera non è riuscita a calcolare le impostazioni per questa scena. Il registro del servizio ' +
    'di esposizione ne indica il motivo.',
  storedNotTaken: 'La scena è stata memorizzata, ma la telecamera non ha accettato tutte le impostazioni. ' +
    'Applicate di nuovo per riprovare.',
  notTakenRecord: 'La scena è stata memorizzata, ma la telecamera non ha accettato tutte le impostazioni.',
  notStored: 'Non è stato possibile memorizzare la scena; alla telecamera non è stato inviato nulla.',
  mayStillApply: 'L\'applicazione potrebbe comunque avere effetto; ricaricate la pagina per vedere la scena memorizzata.',

  noServer: 'Nessuna risposta dal server web della telecamera. Verificate che sia in funzione e che questo computer ' +
    'possa raggiungerlo.',
  connectionCut: 'La connessione al server web della telecamera si è interrotta prima della sua risposta, anche se ' +
    'il server web risponde.',
  noService: 'Il server web risponde, ma il servizio di esposizione che gli sta dietro no. Verificate che il servizio ' +
    'sia in funzione.',
  lateService: 'Il server web risponde, ma il servizio di esposizione che gli sta dietro non ha risposto in tempo.',
  lateServiceSaid: 'Il server web segnala che il servizio di esposizione che gli sta dietro non ha risposto in tempo. ' +
    'Verificate che il servizio sia in funzione.',

  sideView: 'Vista laterale',
  topView: 'Vista dall\'alto',
  toCapture: '{distance} fino al punto di ripresa',
  heightCompressed: 'altezza compressa',
  heightStretched: 'altezza allungata',
  offsetCompressed: 'distanza compressa',
  offsetStretched: 'distanza allungata',
  sideDescription: 'Telecamera a {height} sopra i veicoli, punto di ripresa a {distance} lungo la strada.',
  ahead: '{distance} davanti · {speed}',
  offsetBy: 'distanza {offset}',
  topInLine: 'Telecamera esattamente in linea con la traiettoria dei veicoli; punto di ripresa a {distance} davanti; ' +
    'i veicoli viaggiano a {speed} verso la telecamera.',
  topBeside: 'Telecamera a {offset} di lato rispetto alla traiettoria dei veicoli; punto di ripresa a {distance} ' +
    'davanti; i veicoli viaggiano a {speed} verso la telecamera.',

  speedAxis: 'velocità dei veicoli ({unit})',
  shutterAxis: 'tempo di otturazione max. ({unit})',
  curveFrom: 'Da {slowTime} a {slow} fino a {fastTime} a {fast}.',
  curveComputing: 'Calcolo della curva in corso.',
  timeAt: '{time} a {speed}',
  currentSpeed: 'Velocità attuale {speed}: {time}.',

  recordCamera: 'Telecamera',
  recordPrinted: 'Stampato',
  recordRead: 'Scena memorizzata letta',
  recordRoadOffset: 'Distanza laterale',
  recordCarDistance: 'Distanza dal punto di ripresa',
  recordCameraHeight: 'Altezza della telecamera',
  recordCarSpeed: 'Velocità dei veicoli',
  recordWhy: 'Motivo',
  recordWarning: 'Avvertenza',
  speedInBoth: '{speed} ({si})',
};
